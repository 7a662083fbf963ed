# Built-in trust data of the code-trust checks and the log-controller binding.
#
# Deployment gives all five values; a build that gives none trusts its own test PKI,
# made into ${CMAKE_BINARY_DIR}/pki at configure time. The values end up in
# ${TELVANA_GENERATED_INCLUDE}/TelvanaTrustData.h.

set(TELVANA_TRUST_PUBLISHERS "" CACHE STRING
    "Two accepted publisher names (;-list), the maker's and its parent company's; empty: test PKI")
set(TELVANA_TRUST_ROOT_THUMBPRINTS "" CACHE STRING
    "Four SHA-1 thumbprints (40 hex digits each, ;-list) of accepted root certificates; empty: test PKI")
set(TELVANA_TRUSTED_LIST_SIGNER_THUMBPRINT "" CACHE STRING
    "SHA-1 thumbprint (40 hex digits) of the trusted list's signing certificate; empty: test PKI")
set(TELVANA_TRUSTED_LIST_SIGNAL_GUID "" CACHE STRING
    "GUID text (36 characters, no braces) naming the trusted list's refresh atom; empty: test PKI")
set(TELVANA_LOGCTL_ORGANISATIONS "" CACHE STRING
    "Two organisation names (;-list) accepted as signers of the log controller; empty: test PKI")

set(_trust_vars TELVANA_TRUST_PUBLISHERS TELVANA_TRUST_ROOT_THUMBPRINTS TELVANA_TRUSTED_LIST_SIGNER_THUMBPRINT
    TELVANA_TRUSTED_LIST_SIGNAL_GUID TELVANA_LOGCTL_ORGANISATIONS)
set(_trust_given 0)
foreach(v IN LISTS _trust_vars)
  if(NOT "${${v}}" STREQUAL "")
    math(EXPR _trust_given "${_trust_given} + 1")
  endif()
endforeach()
list(JOIN _trust_vars ", " _trust_names)
if(_trust_given GREATER 0 AND _trust_given LESS 5)
  message(FATAL_ERROR "Trust data: give all of ${_trust_names} or none of them "
                      "(none: the build trusts its own test PKI).")
endif()

# The test PKI: needed for the test build's signed files, and as trust data when none is given.
set(TELVANA_TEST_PKI_DIR ${CMAKE_BINARY_DIR}/pki)
set(TELVANA_TEST_PKI_SCRIPT ${PROJECT_SOURCE_DIR}/tests/pki/make-test-pki.sh)
if(TELVANA_BUILD_TESTS OR _trust_given EQUAL 0)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TELVANA_TEST_PKI_SCRIPT})
  # A changed script makes a new PKI (and so new signed files).
  file(SHA256 ${TELVANA_TEST_PKI_SCRIPT} _pki_script_hash)
  set(_pki_stamp ${TELVANA_TEST_PKI_DIR}/.script-sha256)
  if(EXISTS ${_pki_stamp})
    file(READ ${_pki_stamp} _pki_made_by)
  else()
    set(_pki_made_by "")
  endif()
  if(NOT _pki_made_by STREQUAL _pki_script_hash)
    file(REMOVE ${TELVANA_TEST_PKI_DIR}/.done)
  endif()
  execute_process(COMMAND bash ${TELVANA_TEST_PKI_SCRIPT} ${TELVANA_TEST_PKI_DIR}
                  RESULT_VARIABLE _pki_result OUTPUT_VARIABLE _pki_out ERROR_VARIABLE _pki_out)
  if(NOT _pki_result EQUAL 0)
    message(FATAL_ERROR "Making the test PKI in ${TELVANA_TEST_PKI_DIR} failed (${_pki_result}):\n${_pki_out}")
  endif()
  file(WRITE ${_pki_stamp} "${_pki_script_hash}")

  # trust.env -> TELVANA_TEST_PKI_<KEY>
  file(STRINGS ${TELVANA_TEST_PKI_DIR}/trust.env _pki_lines)
  foreach(line IN LISTS _pki_lines)
    if(line MATCHES "^([A-Z0-9_]+)=(.*)$")
      set(TELVANA_TEST_PKI_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
    endif()
  endforeach()
  if(NOT TELVANA_TEST_PKI_ROOT_SHA1)
    message(FATAL_ERROR "Test PKI: ${TELVANA_TEST_PKI_DIR}/trust.env is incomplete; delete the folder and configure again.")
  endif()
endif()

if(_trust_given EQUAL 0)
  # Normal variables of the same names shadow the empty cache entries, so the header
  # always follows the PKI that is really in the build folder. The three extra root
  # thumbprints match no certificate; the test root comes last.
  set(TELVANA_TRUST_PUBLISHERS "${TELVANA_TEST_PKI_PUBLISHER_NAME};${TELVANA_TEST_PKI_HOLDING_NAME}")
  set(TELVANA_TRUST_ROOT_THUMBPRINTS
      0102030405060708090A0B0C0D0E0F1011121314
      A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3B4
      F0E1D2C3B4A5968778695A4B3C2D1E0F00112233
      ${TELVANA_TEST_PKI_ROOT_SHA1})
  set(TELVANA_TRUSTED_LIST_SIGNER_THUMBPRINT ${TELVANA_TEST_PKI_LIST_SIGNER_SHA1})
  set(TELVANA_TRUSTED_LIST_SIGNAL_GUID ${TELVANA_TEST_PKI_SIGNAL_GUID})
  set(TELVANA_LOGCTL_ORGANISATIONS "${TELVANA_TEST_PKI_PUBLISHER_NAME};${TELVANA_TEST_PKI_HOLDING_NAME}")
  message(STATUS "Trust data: NOT FOR DEPLOYMENT - this build trusts its own test PKI "
                 "(${TELVANA_TEST_PKI_DIR}); set ${_trust_names} for a deployable build")
else()
  message(STATUS "Trust data: deployment values (publishers: ${TELVANA_TRUST_PUBLISHERS})")
endif()

# Validation and conversion to C++ initialisers.
string(REPEAT "[0-9A-Fa-f]" 40 _hex40)
function(_telvana_thumbprint_init var hex out)
  if(NOT hex MATCHES "^${_hex40}$")
    message(FATAL_ERROR "Trust data: ${var}: '${hex}' is no SHA-1 thumbprint (40 hexadecimal digits, no separators)")
  endif()
  string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1, " bytes "${hex}")
  string(REGEX REPLACE ", $" "" bytes "${bytes}")
  set(${out} "{ ${bytes} }" PARENT_SCOPE)
endfunction()

function(_telvana_names_init var out)
  set(names ${${var}})
  list(LENGTH names count)
  if(NOT count EQUAL 2)
    message(FATAL_ERROR "Trust data: ${var} must hold exactly two names (;-list), not ${count}: '${${var}}'")
  endif()
  set(items "")
  foreach(name IN LISTS names)
    string(STRIP "${name}" stripped)
    if(stripped STREQUAL "" OR NOT stripped STREQUAL name)
      message(FATAL_ERROR "Trust data: ${var}: empty name or name with leading/trailing blanks: '${name}'")
    endif()
    if(name MATCHES "[\r\n\t]")
      message(FATAL_ERROR "Trust data: ${var}: control character in '${name}'")
    endif()
    string(REPLACE "\\" "\\\\" name "${name}")
    string(REPLACE "\"" "\\\"" name "${name}")
    list(APPEND items "L\"${name}\"")
  endforeach()
  list(JOIN items ", " items)
  set(${out} "{ ${items} }" PARENT_SCOPE)
endfunction()

_telvana_names_init(TELVANA_TRUST_PUBLISHERS TELVANA_TRUST_PUBLISHERS_INIT)
_telvana_names_init(TELVANA_LOGCTL_ORGANISATIONS TELVANA_LOGCTL_ORGANISATIONS_INIT)

list(LENGTH TELVANA_TRUST_ROOT_THUMBPRINTS _root_count)
if(NOT _root_count EQUAL 4)
  message(FATAL_ERROR "Trust data: TELVANA_TRUST_ROOT_THUMBPRINTS must hold exactly four thumbprints (;-list), not ${_root_count}")
endif()
set(_roots "")
foreach(hex IN LISTS TELVANA_TRUST_ROOT_THUMBPRINTS)
  _telvana_thumbprint_init(TELVANA_TRUST_ROOT_THUMBPRINTS "${hex}" _one)
  list(APPEND _roots "    ${_one}")
endforeach()
list(JOIN _roots ",\n" TELVANA_TRUST_ROOT_THUMBPRINTS_INIT)
_telvana_thumbprint_init(TELVANA_TRUSTED_LIST_SIGNER_THUMBPRINT "${TELVANA_TRUSTED_LIST_SIGNER_THUMBPRINT}"
                         TELVANA_TRUSTED_LIST_SIGNER_THUMBPRINT_INIT)

string(REPEAT "[0-9A-Fa-f]" 4 _hex4)
if(NOT TELVANA_TRUSTED_LIST_SIGNAL_GUID MATCHES "^${_hex4}${_hex4}-${_hex4}-${_hex4}-${_hex4}-${_hex4}${_hex4}${_hex4}$")
  message(FATAL_ERROR "Trust data: TELVANA_TRUSTED_LIST_SIGNAL_GUID: '${TELVANA_TRUSTED_LIST_SIGNAL_GUID}' is no "
                      "GUID text of 36 characters (8-4-4-4-12 hexadecimal digits, no braces)")
endif()

set(TELVANA_GENERATED_INCLUDE ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/TelvanaTrustData.h.in ${TELVANA_GENERATED_INCLUDE}/TelvanaTrustData.h @ONLY)
