# cbmp_test_not_run(<name> <reason>): a test that cannot run because a prerequisite is missing
# still appears in the suite, as a test that prints why and is reported as skipped ("The
# following tests did not run"), never as a pass and never silently left out.
function(cbmp_test_not_run name reason)
  message(STATUS "${name}: not run (${reason})")
  if(NOT CBMP_BUILD_TESTS)
    return()
  endif()
  add_test(NAME ${name}
           COMMAND "${CMAKE_COMMAND}" -E echo "NOT RUN: ${name}: ${reason}")
  # `cmake -E echo` exits 0; the pass regular expression cannot match, so the skip regular
  # expression decides: the test is reported as skipped with its reason in the output.
  set_tests_properties(${name} PROPERTIES SKIP_REGULAR_EXPRESSION "NOT RUN: "
                       LABELS "not-run")
endfunction()
