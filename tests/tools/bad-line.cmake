# A script with a bad line: exit status 2 and "line N: reason" on standard error.
execute_process(COMMAND ${EMULATOR} ${SIM} --script ${SCRIPT} OUTPUT_VARIABLE output ERROR_VARIABLE errors
                RESULT_VARIABLE status)
file(READ ${STDERR} expected)
if(NOT status EQUAL 2)
  message(FATAL_ERROR "exit status ${status}, expected 2\n${output}${errors}")
endif()
if(NOT errors STREQUAL expected)
  message(FATAL_ERROR "standard error is\n${errors}\nexpected\n${expected}")
endif()
