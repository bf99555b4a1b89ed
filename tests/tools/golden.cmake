# Runs one example script and compares its whole output with the checked-in expectation.
# EMULATOR runs the simulator in a 32-bit build; SIM_ARGS (space-separated) are added options.
separate_arguments(sim_args UNIX_COMMAND "${SIM_ARGS}")
execute_process(COMMAND ${EMULATOR} ${SIM} --script ${SCRIPT} --stable-addresses ${sim_args}
                OUTPUT_FILE ${ACTUAL} ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${SCRIPT}: exit status ${status}\n${errors}")
endif()
if(NOT errors STREQUAL "")
  message(FATAL_ERROR "${SCRIPT}: unexpected standard error:\n${errors}")
endif()
# With REFERENCE_ARGS the expectation is the output of a reference run with those options (the
# linked driver in the same system family) instead of a checked-in file.
if(DEFINED REFERENCE_ARGS)
  separate_arguments(reference_args UNIX_COMMAND "${REFERENCE_ARGS}")
  execute_process(COMMAND ${EMULATOR} ${SIM} --script ${SCRIPT} --stable-addresses ${reference_args}
                  OUTPUT_FILE ${EXPECTED} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${SCRIPT}: the reference run exited with ${status}")
  endif()
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
