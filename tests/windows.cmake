# The Windows build's tests: the unit tests that need no POSIX test support,
# built as a Windows program against GoogleTest from Debian's sources
# (googletest, /usr/src/googletest), and run under Wine in one start. The
# end-to-end and interop suites run from a Linux build against the Windows
# server (the windows-e2e preset).
set(VESTIGOR_GTEST_SOURCE /usr/src/googletest/googletest CACHE PATH
  "GoogleTest's sources, built for the Windows unit tests")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${VESTIGOR_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest
  EXCLUDE_FROM_ALL)

add_executable(unit_tests
  protocol/json_test.cpp
  protocol/dispatch_test.cpp
  tools/vault_test.cpp
  util/unicode_test.cpp
  util/note_append_test.cpp
  util/os_windows_test.cpp)
target_include_directories(unit_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(unit_tests PRIVATE
  vestigor_core vestigor_test_flags gtest gtest_main)
target_link_options(unit_tests PRIVATE -static)

include(${CMAKE_CURRENT_SOURCE_DIR}/wine/wine.cmake)
add_test(NAME unit_tests COMMAND ${VESTIGOR_WINE_RUN}
  $<TARGET_FILE:unit_tests> --gtest_brief=0)
set_tests_properties(unit_tests PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300)
