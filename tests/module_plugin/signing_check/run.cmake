# A signing build says nothing but its progress lines; a failing step fails it with the tool's words.
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} -G Ninja -S ${CMAKE_CURRENT_LIST_DIR} -B ${WORK} -DTELVANA_ROOT=${ROOT}
                        -DTELVANA_TEST_PKI_DIR=${PKI} -DINPUT_PE=${INPUT}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(rc)
  message(FATAL_ERROR "configure failed:\n${out}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK} --target signs RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
string(REGEX REPLACE "(^|\n)\\[[0-9]+/[0-9]+\\] [^\n]*" "" chatter "${out}")
string(STRIP "${chatter}" chatter)
if(rc OR chatter OR NOT EXISTS ${WORK}/out/stamped.dll OR NOT EXISTS ${WORK}/out/two.dll)
  message(FATAL_ERROR "signing (status ${rc}) said more than its progress:\n${out}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK} --target refused RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc OR NOT out MATCHES "unsupported input file type" OR EXISTS ${WORK}/out/refused.dll)
  message(FATAL_ERROR "a failing signing step (status ${rc}) did not show it:\n${out}")
endif()
