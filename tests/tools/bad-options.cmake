# Each malformed or misplaced command line: exit status 2 and one line on standard error giving the
# reason, before anything runs. A case is "arguments|pattern the line must match".
set(cases
    "--bogus|unknown argument '--bogus'"
    "--load-driver a.so b|unknown argument 'b'"
    "--duration|--duration takes a number of seconds"
    "--duration 0|--duration takes a number of seconds"
    "--duration=5x|--duration takes a number of seconds"
    "--family xp|--family takes 98 or nt"
    "--preempt 1.5|--preempt takes a seed"
    "--verbose=3|verbose"
    "--ring-size 4000|act on the streams --load-driver drivers read"
    "--load-driver a.so --ring-size 0|--ring-size takes a whole number"
    "--load-driver a.so --block-size 300-200|--block-size takes a size or a range"
    "--script x --duration 3|belong to the default run, not to --script"
    "--stable-addresses|belong to --script")
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" parts "${case}")
  list(GET parts 0 args)
  list(GET parts 1 pattern)
  separate_arguments(args UNIX_COMMAND "${args}")
  execute_process(COMMAND ${EMULATOR} ${SIM} ${args} OUTPUT_VARIABLE output ERROR_VARIABLE errors
                  RESULT_VARIABLE status TIMEOUT 60)
  string(REGEX MATCHALL "\n" newlines "${errors}")
  list(LENGTH newlines lines)
  if(NOT status EQUAL 2 OR NOT lines EQUAL 1 OR NOT errors MATCHES "^devididi-sim: .*${pattern}")
    message(FATAL_ERROR "'${case}': exit status ${status}, standard error:\n${errors}")
  endif()
endforeach()
