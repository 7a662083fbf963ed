# Build-time Authenticode signing with the test PKI (cmake/TrustData.cmake makes it).
#
#   telvana_sign_file(INPUT <file|genex> OUTPUT <path> CERT <name> [TIMESTAMP | COUNTERSIGN] [TSA <name>]
#                     [TSA_TIME <unix>] [DEPENDS ...])
#   telvana_restamp_file(INPUT <stamped PE> OUTPUT <path> (BREAK | FROM <stamped PE>) [DEPENDS ...])
#   telvana_sign_two_signers(INPUT <file|genex> OUTPUT <path> FIRST <name> SECOND <name> [DEPENDS ...])
#   telvana_tamper_file(INPUT <signed PE> OUTPUT <path> [SIGNER <index>] [DEPENDS ...])
#   telvana_forge_chain(INPUT <signed PE> OUTPUT <path> CA <name> PINNED <name>)
#   telvana_graft_signer(INPUT <signed PE> OUTPUT <path> FROM <signed PE> [ALONE])
#   telvana_sign_script(INPUT <text file> OUTPUT <path.js> CERT <name> [DEPENDS ...])
#   telvana_make_cabinet(OUTPUT <path.cab> FILE <file> NAME <entry name> [DEPENDS ...])
#   telvana_copy_file(INPUT <file|genex> OUTPUT <path> [DEPENDS ...])
#
# CERT names a certificate of the PKI folder: publisher, holding, other, case_publisher,
# listed, expired, untrusted_root, list_signer. TIMESTAMP adds an RFC 3161 time stamp,
# COUNTERSIGN the older counter-signature, both by the TSA certificate (default tsa; also
# untrusted_tsa, or any other to stamp without the time-stamping usage). Every function adds
# its OUTPUT to the global property TELVANA_SIGNED_OUTPUTS and to the signing target of its folder.

if(NOT TELVANA_TEST_PKI_DIR OR NOT EXISTS ${TELVANA_TEST_PKI_DIR}/.done)
  message(FATAL_ERROR "Signing.cmake needs the test PKI: include cmake/TrustData.cmake first")
endif()
find_program(TELVANA_OSSLSIGNCODE osslsigncode REQUIRED)
find_program(TELVANA_GCAB gcab REQUIRED)
# The system interpreter first: a version-manager shim in PATH costs seconds per call.
find_program(TELVANA_PYTHON3 python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(TELVANA_PYTHON3 python3 REQUIRED)
set(TELVANA_PKI_TOOL ${CMAKE_CURRENT_LIST_DIR}/../tests/pki/pki-tool.py)
# The tools report every success at length; a step shows their output only when it fails, so a
# build's log starts with what the build itself has to say.
set(TELVANA_QUIET ${TELVANA_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/run-quiet.py)
set(TELVANA_SIGNING_WORK ${CMAKE_BINARY_DIR}/signing-work)
# RFC 3161 time stamps are made offline, by default at this fixed time (2023-11-14
# 22:13:20 UTC): the token's time, its signer's signing time and the file signer's
# signing time all say so.
set(TELVANA_TSA_TIME 1700000000)

# timestamp: "", "token" or "counter"; an optional last argument names the TSA certificate.
function(_telvana_sign_command out_var cert input output timestamp tsa_time)
  set(pki ${TELVANA_TEST_PKI_DIR})
  set(tsa tsa ${ARGN})
  list(GET tsa -1 tsa)
  if(NOT EXISTS ${pki}/${cert}.chain.pem)
    message(FATAL_ERROR "Signing: no certificate '${cert}' in the test PKI (${pki})")
  endif()
  set(cmd COMMAND ${CMAKE_COMMAND} -E rm -f ${output}
          COMMAND ${TELVANA_QUIET} ${TELVANA_OSSLSIGNCODE} sign -h sha256 -certs ${pki}/${cert}.chain.pem -key ${pki}/${cert}.key)
  if(timestamp STREQUAL "token")
    list(APPEND cmd -TSA-certs ${pki}/${tsa}.chain.pem -TSA-key ${pki}/${tsa}.key -TSA-time ${tsa_time} -time ${tsa_time})
  endif()
  list(APPEND cmd -in ${input} -out ${output})
  if(timestamp STREQUAL "token")
    list(APPEND cmd COMMAND ${TELVANA_QUIET} ${TELVANA_PYTHON3} ${TELVANA_PKI_TOOL} retime ${output} ${pki}/${tsa}.key ${tsa_time} ${output})
  elseif(timestamp STREQUAL "counter")
    list(APPEND cmd COMMAND ${TELVANA_QUIET} ${TELVANA_PYTHON3} ${TELVANA_PKI_TOOL} countersign ${output} ${pki}/${tsa}.chain.pem
                    ${pki}/${tsa}.key ${tsa_time} ${output})
  endif()
  set(${out_var} ${cmd} PARENT_SCOPE)
endfunction()

# A custom command gets its rule only from a target of its own folder: every folder that makes
# signed files has a target listing them, and TELVANA_SIGNED_TARGETS names those targets.
function(_telvana_add_output output)
  set_property(GLOBAL APPEND PROPERTY TELVANA_SIGNED_OUTPUTS ${output})
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  string(MAKE_C_IDENTIFIER "telvana_signed_${folder}" target)
  if(NOT TARGET ${target})
    add_custom_target(${target})
    set_property(GLOBAL APPEND PROPERTY TELVANA_SIGNED_TARGETS ${target})
  endif()
  target_sources(${target} PRIVATE ${output})
endfunction()

function(_telvana_pki_depends out_var)
  set(deps ${TELVANA_TEST_PKI_DIR}/.done)
  foreach(cert IN LISTS ARGN)
    list(APPEND deps ${TELVANA_TEST_PKI_DIR}/${cert}.chain.pem ${TELVANA_TEST_PKI_DIR}/${cert}.key)
  endforeach()
  set(${out_var} ${deps} PARENT_SCOPE)
endfunction()

function(telvana_sign_file)
  cmake_parse_arguments(S "TIMESTAMP;COUNTERSIGN" "INPUT;OUTPUT;CERT;TSA;TSA_TIME" "DEPENDS" ${ARGN})
  if(NOT S_INPUT OR NOT S_OUTPUT OR NOT S_CERT)
    message(FATAL_ERROR "telvana_sign_file: INPUT, OUTPUT and CERT are required")
  endif()
  if(NOT S_TSA_TIME)
    set(S_TSA_TIME ${TELVANA_TSA_TIME})
  endif()
  if(NOT S_TSA)
    set(S_TSA tsa)
  endif()
  set(stamp "")
  if(S_TIMESTAMP)
    set(stamp token)
  elseif(S_COUNTERSIGN)
    set(stamp counter)
  endif()
  get_filename_component(dir ${S_OUTPUT} DIRECTORY)
  _telvana_sign_command(sign ${S_CERT} ${S_INPUT} ${S_OUTPUT} "${stamp}" ${S_TSA_TIME} ${S_TSA})
  set(certs ${S_CERT})
  if(stamp)
    list(APPEND certs ${S_TSA})
  endif()
  _telvana_pki_depends(pki_deps ${certs})
  add_custom_command(OUTPUT ${S_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    ${sign}
    DEPENDS ${S_INPUT} ${S_DEPENDS} ${pki_deps} ${TELVANA_PKI_TOOL}
    COMMENT "Signing ${S_OUTPUT} (${S_CERT})"
    VERBATIM)
  _telvana_add_output(${S_OUTPUT})
endfunction()

# A real second signer of the same message (one signerInfos set, FIRST before SECOND).
function(telvana_sign_two_signers)
  cmake_parse_arguments(S "" "INPUT;OUTPUT;FIRST;SECOND" "DEPENDS" ${ARGN})
  if(NOT S_INPUT OR NOT S_OUTPUT OR NOT S_FIRST OR NOT S_SECOND)
    message(FATAL_ERROR "telvana_sign_two_signers: INPUT, OUTPUT, FIRST and SECOND are required")
  endif()
  get_filename_component(dir ${S_OUTPUT} DIRECTORY)
  string(MAKE_C_IDENTIFIER "${S_OUTPUT}" id)
  string(MD5 id "${id}")
  set(w ${TELVANA_SIGNING_WORK}/${id})
  _telvana_sign_command(sign1 ${S_FIRST} ${S_INPUT} ${w}.first.bin "" "")
  _telvana_sign_command(sign2 ${S_SECOND} ${S_INPUT} ${w}.second.bin "" "")
  _telvana_pki_depends(pki_deps ${S_FIRST} ${S_SECOND})
  add_custom_command(OUTPUT ${S_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir} ${TELVANA_SIGNING_WORK}
    ${sign1}
    ${sign2}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${w}.first.p7 ${w}.second.p7
    COMMAND ${TELVANA_QUIET} ${TELVANA_OSSLSIGNCODE} extract-signature -in ${w}.first.bin -out ${w}.first.p7
    COMMAND ${TELVANA_QUIET} ${TELVANA_OSSLSIGNCODE} extract-signature -in ${w}.second.bin -out ${w}.second.p7
    COMMAND ${TELVANA_QUIET} ${TELVANA_PYTHON3} ${TELVANA_PKI_TOOL} merge ${w}.both.p7 ${w}.first.p7 ${w}.second.p7
    COMMAND ${TELVANA_QUIET} ${TELVANA_PYTHON3} ${TELVANA_PKI_TOOL} attach ${w}.second.bin ${w}.both.p7 ${S_OUTPUT}
    DEPENDS ${S_INPUT} ${S_DEPENDS} ${pki_deps} ${TELVANA_PKI_TOOL}
    COMMENT "Signing ${S_OUTPUT} (${S_FIRST}, then ${S_SECOND})"
    VERBATIM)
  _telvana_add_output(${S_OUTPUT})
endfunction()

# BREAK: one byte of the time stamp's signature changed; FROM: the time stamp (and the
# certificates) of another file's signature put in place of the input's own.
function(telvana_restamp_file)
  cmake_parse_arguments(S "BREAK" "INPUT;OUTPUT;FROM" "DEPENDS" ${ARGN})
  get_filename_component(dir ${S_OUTPUT} DIRECTORY)
  if(S_BREAK)
    set(run breakstamp ${S_INPUT} ${S_OUTPUT})
  else()
    set(run copystamp ${S_FROM} ${S_INPUT} ${S_OUTPUT})
  endif()
  add_custom_command(OUTPUT ${S_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${TELVANA_QUIET} ${TELVANA_PYTHON3} ${TELVANA_PKI_TOOL} ${run}
    DEPENDS ${S_INPUT} ${S_FROM} ${S_DEPENDS} ${TELVANA_PKI_TOOL}
    COMMENT "Re-stamping ${S_OUTPUT}"
    VERBATIM)
  _telvana_add_output(${S_OUTPUT})
endfunction()

# SIGNER: that signer's own signature is broken instead of the image.
function(telvana_tamper_file)
  cmake_parse_arguments(S "" "INPUT;OUTPUT;SIGNER" "DEPENDS" ${ARGN})
  get_filename_component(dir ${S_OUTPUT} DIRECTORY)
  set(run tamper ${S_INPUT} ${S_OUTPUT})
  if(DEFINED S_SIGNER)
    set(run breaksigner ${S_INPUT} ${S_SIGNER} ${S_OUTPUT})
  endif()
  add_custom_command(OUTPUT ${S_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${TELVANA_QUIET} ${TELVANA_PYTHON3} ${TELVANA_PKI_TOOL} ${run}
    DEPENDS ${S_INPUT} ${S_DEPENDS} ${TELVANA_PKI_TOOL}
    COMMENT "Tampering ${S_OUTPUT}"
    VERBATIM)
  _telvana_add_output(${S_OUTPUT})
endfunction()

# CA's subject and key "issued" by PINNED with a broken signature, and PINNED, added to the
# signature's certificates.
function(telvana_forge_chain)
  cmake_parse_arguments(S "" "INPUT;OUTPUT;CA;PINNED" "" ${ARGN})
  set(pki ${TELVANA_TEST_PKI_DIR})
  add_custom_command(OUTPUT ${S_OUTPUT}
    COMMAND ${TELVANA_QUIET} ${TELVANA_PYTHON3} ${TELVANA_PKI_TOOL} forge ${S_INPUT} ${pki}/${S_CA}.pem
            ${pki}/${S_PINNED}.pem ${pki}/${S_PINNED}.key ${S_OUTPUT}
    DEPENDS ${S_INPUT} ${TELVANA_PKI_TOOL} ${TELVANA_TEST_PKI_DIR}/.done
    COMMENT "Forging a second chain into ${S_OUTPUT}"
    VERBATIM)
  _telvana_add_output(${S_OUTPUT})
endfunction()

# FROM's signers, whose signed digests name FROM's content, put into INPUT's signature after its
# own signers, or in their place (ALONE).
function(telvana_graft_signer)
  cmake_parse_arguments(S "ALONE" "INPUT;OUTPUT;FROM" "" ${ARGN})
  set(mode add)
  if(S_ALONE)
    set(mode alone)
  endif()
  add_custom_command(OUTPUT ${S_OUTPUT}
    COMMAND ${TELVANA_QUIET} ${TELVANA_PYTHON3} ${TELVANA_PKI_TOOL} graft ${mode} ${S_INPUT} ${S_FROM} ${S_OUTPUT}
    DEPENDS ${S_INPUT} ${S_FROM} ${TELVANA_PKI_TOOL}
    COMMENT "Grafting the signers of ${S_FROM} into ${S_OUTPUT}"
    VERBATIM)
  _telvana_add_output(${S_OUTPUT})
endfunction()

# osslsigncode cannot sign .js files: the text is signed as a PowerShell script and its
# "# SIG # " block rewritten into "// SIG // " lines. The signature's digest is SHA-256
# over the text before the line break that starts the block, as UTF-16LE (the input is
# read as UTF-8).
function(telvana_sign_script)
  cmake_parse_arguments(S "" "INPUT;OUTPUT;CERT" "DEPENDS" ${ARGN})
  if(NOT S_INPUT OR NOT S_OUTPUT OR NOT S_CERT)
    message(FATAL_ERROR "telvana_sign_script: INPUT, OUTPUT and CERT are required")
  endif()
  get_filename_component(dir ${S_OUTPUT} DIRECTORY)
  string(MAKE_C_IDENTIFIER "${S_OUTPUT}" id)
  string(MD5 id "${id}")
  set(w ${TELVANA_SIGNING_WORK}/${id})
  _telvana_sign_command(sign ${S_CERT} ${w}.ps1 ${w}.signed.ps1 "" "")
  _telvana_pki_depends(pki_deps ${S_CERT})
  add_custom_command(OUTPUT ${S_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir} ${TELVANA_SIGNING_WORK}
    COMMAND ${CMAKE_COMMAND} -E copy ${S_INPUT} ${w}.ps1
    ${sign}
    COMMAND ${TELVANA_QUIET} ${TELVANA_PYTHON3} ${TELVANA_PKI_TOOL} js ${w}.signed.ps1 ${S_OUTPUT}
    DEPENDS ${S_INPUT} ${S_DEPENDS} ${pki_deps} ${TELVANA_PKI_TOOL}
    COMMENT "Signing ${S_OUTPUT} (${S_CERT})"
    VERBATIM)
  _telvana_add_output(${S_OUTPUT})
endfunction()

# A cabinet of one file stored under NAME.
function(telvana_make_cabinet)
  cmake_parse_arguments(S "" "OUTPUT;FILE;NAME" "DEPENDS" ${ARGN})
  if(NOT S_OUTPUT OR NOT S_FILE OR NOT S_NAME)
    message(FATAL_ERROR "telvana_make_cabinet: OUTPUT, FILE and NAME are required")
  endif()
  get_filename_component(dir ${S_OUTPUT} DIRECTORY)
  string(MAKE_C_IDENTIFIER "${S_OUTPUT}" id)
  string(MD5 id "${id}")
  set(stage ${TELVANA_SIGNING_WORK}/${id}.cab.d)
  add_custom_command(OUTPUT ${S_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir} ${stage}
    COMMAND ${CMAKE_COMMAND} -E copy ${S_FILE} ${stage}/${S_NAME}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${S_OUTPUT}
    COMMAND ${TELVANA_QUIET} ${TELVANA_GCAB} -c -z -n ${S_OUTPUT} ${stage}/${S_NAME}
    DEPENDS ${S_FILE} ${S_DEPENDS}
    COMMENT "Packing ${S_OUTPUT}"
    VERBATIM)
  _telvana_add_output(${S_OUTPUT})
endfunction()

function(telvana_copy_file)
  cmake_parse_arguments(S "" "INPUT;OUTPUT" "DEPENDS" ${ARGN})
  get_filename_component(dir ${S_OUTPUT} DIRECTORY)
  add_custom_command(OUTPUT ${S_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${S_INPUT} ${S_OUTPUT}
    DEPENDS ${S_INPUT} ${S_DEPENDS}
    VERBATIM)
  _telvana_add_output(${S_OUTPUT})
endfunction()
