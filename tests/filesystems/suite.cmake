# The file-system suite, included by the power-cut suite's CMakeLists so
# that both share one machine: for each file system of the table, the
# end-to-end cases of the Linux build and of the Windows build under Wine,
# with their folders on it.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/table rows REGEX "^[a-z]")
set(on ${CMAKE_CURRENT_LIST_DIR}/on)
# The power-cut scenarios end the Wine prefix's server; the cases want one
# that stays.
set(serve ${CMAKE_SOURCE_DIR}/tests/wine-session ${wine} serve)
set(linux_cases "Cli.RepairRotatesByTwoKeepsTheBackupAndPrintsNothing"
  "Cli.SecondRunKeepsTheFirstBackupAndRotatesByFour" "Cli.ABackupNameTooLongToExistIsTreatedAsTaken"
  "Safety.AnExistingBackupIsNeverReplaced" "Safety.AFullDiskLeavesFileAndBackupAsTheyWere"
  "PosixSafety.AReadOnlyFolderIsReportedAndNothingChanges"
  "PosixSafety.TheNewFileKeepsPermissionsAndOwner" "FileSystems/PosixAccess.*/disk" "Kill.*")
set(exe_cases "Cli.RepairRotatesByTwoKeepsTheBackupAndPrintsNothing"
  "Safety.AnExistingBackupIsNeverReplaced" "Win32Access.*" "Kill.*")
list(JOIN linux_cases ":" linux_filter)
list(JOIN exe_cases ":" exe_filter)
set(exe_environment "ARCMEND_RUNNER=${wine}" "ARCMEND_CMD=${CMAKE_BINARY_DIR}/windows-tool/arcmend.exe"
  "ARCMEND_TARGET=windows" "ARCMEND_BITS=32"
  "ARCMEND_WIN32_HELPER=${CMAKE_BINARY_DIR}/windows-tool/tests/win32_helper.exe")
foreach(row IN LISTS rows)
  string(REGEX MATCH "^[^ ]+" fs "${row}")
  add_test(NAME filesystem_${fs}_linux
    COMMAND ${machine} run ${on} ${fs} $<TARGET_FILE:e2e_tests> --gtest_filter=${linux_filter})
  add_test(NAME filesystem_${fs}_exe
    COMMAND ${machine} run ${on} ${fs} ${serve} env ${exe_environment}
      $<TARGET_FILE:e2e_tests> --gtest_filter=${exe_filter})
  set_tests_properties(filesystem_${fs}_linux PROPERTIES FIXTURES_REQUIRED powercut TIMEOUT 900)
  set_tests_properties(filesystem_${fs}_exe PROPERTIES
    FIXTURES_REQUIRED "powercut;powercut_wine" TIMEOUT 900)
endforeach()
