# A script's picture is the script's own: run twice with --trace and --report, it gives the same
# files byte for byte, and it prints exactly what it prints without them.
set(out ${WORK}/same-picture)
file(MAKE_DIRECTORY ${out})
foreach(run 1 2)
  execute_process(COMMAND ${EMULATOR} ${SIM} --script ${SCRIPT} --stable-addresses
                          --trace ${out}/trace${run}.json --report ${out}/report${run}.html
                  OUTPUT_FILE ${out}/run${run}.out RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${SCRIPT} with --trace and --report: exit status ${status}")
  endif()
endforeach()
execute_process(COMMAND ${EMULATOR} ${SIM} --script ${SCRIPT} --stable-addresses OUTPUT_FILE ${out}/plain.out)
foreach(pair "trace1.json;trace2.json" "report1.html;report2.html" "plain.out;run1.out")
  list(GET pair 0 a)
  list(GET pair 1 b)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${out}/${a} ${out}/${b} RESULT_VARIABLE differ)
  if(differ)
    execute_process(COMMAND diff ${out}/${a} ${out}/${b})
    message(FATAL_ERROR "${out}/${a} and ${b} differ (shown above)")
  endif()
endforeach()
