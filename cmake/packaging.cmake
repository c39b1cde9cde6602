# Packages made by CPack: a Debian package on Linux, a zip on Windows.

set(CPACK_PACKAGE_NAME arcmend)
set(CPACK_PACKAGE_VENDOR "The arcmend developers")
set(CPACK_PACKAGE_CONTACT "The arcmend developers <arcmend@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "repairer for archives whose first two bytes are misplaced")
set(CPACK_PACKAGE_DESCRIPTION "\
arcmend repairs a damaged archive by moving its first two bytes behind all
the others. The old file is kept under its name with .bak appended, and an
existing backup is never replaced. The new content is written in full and
put on stable storage before the old file is moved, so no data is lost on a
full disk or when the tool is killed.")
set(CPACK_STRIP_FILES ON)

# The same source gives the same package bytes: every time in the archives
# is the last commit's, unless SOURCE_DATE_EPOCH says otherwise, and the
# build's own time only where there is no git. CPack reads the variable
# when it runs, so the project config file that it includes sets it.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(source_date_epoch $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git log -1 --format=%ct
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
    OUTPUT_VARIABLE source_date_epoch OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE git_status ERROR_QUIET)
  if(NOT git_status EQUAL 0 OR source_date_epoch STREQUAL "")
    string(TIMESTAMP source_date_epoch "%s" UTC)
  endif()
endif()
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/cpack-epoch.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "set(ENV{SOURCE_DATE_EPOCH} ${source_date_epoch})\n")
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME arcmend-${PROJECT_VERSION}-win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  # Text files for Windows readers: CR LF line ends.
  configure_file(README.md README.txt NEWLINE_STYLE CRLF)
  configure_file(LICENSE LICENSE.txt NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt
    DESTINATION .)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/arcmend")

  # Debian wants these compressed for good, without time stamps.
  set(doc ${CMAKE_CURRENT_BINARY_DIR}/doc)
  add_custom_command(OUTPUT ${doc}/arcmend.1.gz ${doc}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${doc}
    COMMAND gzip -9nc ${CMAKE_CURRENT_SOURCE_DIR}/doc/arcmend.1 > ${doc}/arcmend.1.gz
    COMMAND gzip -9nc ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog > ${doc}/changelog.gz
    DEPENDS doc/arcmend.1 packaging/changelog)
  add_custom_target(compressed_docs ALL DEPENDS ${doc}/arcmend.1.gz ${doc}/changelog.gz)
  install(FILES ${doc}/arcmend.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES packaging/copyright ${doc}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

include(CPack)
