# Runs one example script and compares its whole output with the checked-in expectation.
execute_process(COMMAND ${SIM} --script ${SCRIPT} --stable-addresses
                OUTPUT_FILE ${ACTUAL} ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${SCRIPT}: exit status ${status}\n${errors}")
endif()
if(NOT errors STREQUAL "")
  message(FATAL_ERROR "${SCRIPT}: unexpected standard error:\n${errors}")
endif()
if(NOT EXISTS ${EXPECTED})
  message(FATAL_ERROR "${EXPECTED} does not exist; create it with tests/tools/regenerate-golden.sh")
endif()
file(READ ${EXPECTED} expected)
file(READ ${ACTUAL} actual)
if(NOT expected STREQUAL actual)
  execute_process(COMMAND diff -u ${EXPECTED} ${ACTUAL})
  message(FATAL_ERROR "${SCRIPT}: output differs from ${EXPECTED} (shown above; the run's output is in "
                      "${ACTUAL}). If the change is intended, run tests/tools/regenerate-golden.sh.")
endif()
