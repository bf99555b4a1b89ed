# Runs a script and checks its exit status, a pattern its output must match (OUTPUT: standard output
# and standard error together) and, when given, its whole standard error (STDERR, a file). EMULATOR
# runs the simulator in a 32-bit build; SIM_ARGS, options before --script (without SCRIPT: the
# default run with those options).
separate_arguments(sim_args UNIX_COMMAND "${SIM_ARGS}")
if(DEFINED SCRIPT)
  list(APPEND sim_args --script ${SCRIPT})
endif()
execute_process(COMMAND ${EMULATOR} ${SIM} ${sim_args} OUTPUT_VARIABLE output ERROR_VARIABLE errors
                RESULT_VARIABLE status)
if(NOT status EQUAL ${STATUS})
  message(FATAL_ERROR "exit status ${status}, expected ${STATUS}\n${output}${errors}")
endif()
if(DEFINED OUTPUT AND NOT "${output}${errors}" MATCHES "${OUTPUT}")
  message(FATAL_ERROR "the output does not match '${OUTPUT}':\n${output}${errors}")
endif()
if(DEFINED STDERR)
  file(READ ${STDERR} expected)
  if(NOT errors STREQUAL expected)
    message(FATAL_ERROR "standard error is\n${errors}\nexpected\n${expected}")
  endif()
endif()
