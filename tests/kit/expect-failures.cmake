# The kit test run on the forgetful consumer's two mistakes: each run must fail with the report
# that names the driver and the mistake (an uncaught mistake, or a bare crash, fails the check).
function(kit_expect_failure name test variant regex)
  add_test(NAME ${name} COMMAND ${test})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "FORGETFUL=${variant};${ARGN}"
                       PASS_REGULAR_EXPRESSION "${regex}" TIMEOUT 120)
endfunction()

function(kit_expect_failures test)
  kit_expect_failure(kit.test.a_registration_left_at_unload_fails_the_test ${test} forgetful_forgets
    "kernel rule broken: driver unloaded while another driver still holds its callbacks: \\\\Driver\\\\forgetful: consumer of stream 2, handle 0x[0-9a-f]+, still registered, unregistered for it.*\\[  FAILED  \\] ForgetfulTest")
  kit_expect_failure(kit.test.a_read_past_the_rings_end_stops_the_test ${test} forgetful_overreads
    "\\*\\*\\* STOP: read past the end of a pool block: pool block 0x[0-9a-f]+ 'Trcd' [0-9]+ bytes, 0 bytes past its end, allocated at devididi:[0-9]+ \\(1000 bytes after its trace header\\), by code at \\\\Driver\\\\forgetful\\+0x"
    ${ARGN})
endfunction()
