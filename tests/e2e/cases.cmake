# Included by CTest: adds one test for each case of the built end-to-end
# suite, so that each is reported on its own, inside the Wine session. Set
# before including: e2e_binary, e2e_filter, e2e_command (what runs the
# binary) and e2e_environment.
execute_process(COMMAND "${e2e_binary}" --gtest_list_tests "--gtest_filter=${e2e_filter}"
  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  # Reported as a failing test rather than a suite that quietly vanished.
  add_test(e2e_cases_not_listed "${e2e_binary}" --gtest_list_tests)
  return()
endif()
# Parameter comments may hold ; [ and ], which would break the list.
string(REGEX REPLACE "  #[^\n]*" "" listing "${listing}")
string(REGEX REPLACE "\n    [^\n]*" "" listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")
# Under Wine, and more so in the emulated machine, a case takes seconds; the
# ones that repair large files take minutes.
set(long_running "^(Kill\\.|File/|Cli\\.Huge)")
foreach(line IN LISTS lines)
  if(line MATCHES "^([^ #]+)\\.")
    set(suite "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^  ([^ #]+)")
    set(name "${suite}.${CMAKE_MATCH_1}")
    set(timeout 120)
    if(name MATCHES "${long_running}")
      set(timeout 900)
    endif()
    add_test("${name}" ${e2e_command} "--gtest_filter=${name}")
    set_tests_properties("${name}" PROPERTIES ENVIRONMENT "${e2e_environment}"
      FIXTURES_REQUIRED wine RUN_SERIAL ON TIMEOUT ${timeout}
      SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
  endif()
endforeach()
