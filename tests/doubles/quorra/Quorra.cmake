# The message-bus library double (Quorra.dll) and its signed, unsigned, tampered, other-publisher,
# renamed and reduced copies, plus Pulseproxy.dll itself beside the test executables.
set(quorra_dir ${CMAKE_CURRENT_LIST_DIR})
telvana_test_double(quorra_double ${quorra_dir}/Quorra.cpp Quorra)
telvana_test_double(quorra_double_newer ${quorra_dir}/Quorra.cpp Quorra)
telvana_test_double(quorra_double_no_version_num ${quorra_dir}/Quorra.cpp Quorra)
foreach(t quorra_double quorra_double_newer quorra_double_no_version_num)
  target_sources(${t} PRIVATE ${quorra_dir}/Quorra.rc)
  target_include_directories(${t} PRIVATE ${PROJECT_SOURCE_DIR}/module_plugin ${quorra_dir})
endforeach()
target_compile_definitions(quorra_double_newer PRIVATE QUORRA_NEWER_VERSION)
target_compile_definitions(quorra_double_no_version_num PRIVATE QUORRA_WITHOUT_VERSIONNUM)

set(quorra $<TARGET_FILE:quorra_double>)
telvana_sign_file(INPUT ${quorra} OUTPUT ${s}/quorra_signed/Quorra.dll CERT publisher)
telvana_copy_file(INPUT ${quorra} OUTPUT ${s}/quorra_unsigned/Quorra.dll)
telvana_tamper_file(INPUT ${s}/quorra_signed/Quorra.dll OUTPUT ${s}/quorra_tampered/Quorra.dll)
telvana_sign_file(INPUT ${quorra} OUTPUT ${s}/quorra_other_publisher/Quorra.dll CERT other)
telvana_sign_file(INPUT $<TARGET_FILE:quorra_double_no_version_num> OUTPUT ${s}/quorra_no_version_num/Quorra.dll
                  CERT publisher)
# Under another name, which the block list may refuse by version (1.2.3.4; the newer one 1.2.3.5).
telvana_sign_file(INPUT ${quorra} OUTPUT ${s}/quorra_renamed/Orvbus.dll CERT publisher)
telvana_sign_file(INPUT $<TARGET_FILE:quorra_double_newer> OUTPUT ${s}/quorra_renamed_newer/Orvbus.dll CERT publisher)

telvana_copy_file(INPUT $<TARGET_FILE:Pulseproxy> OUTPUT ${s}/Pulseproxy.dll)
