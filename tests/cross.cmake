# A Linux build for another CPU (the arm64 cross build): the unit and
# end-to-end suites, run under the toolchain's emulator (qemu-user), which
# ctest prefixes to each test and the launcher to each server it starts
# (support/live_server.cpp). GoogleTest is built from Debian's sources
# (gtest_from_source.cmake). No ICU is at hand for the target, so
# the two suites that check the Unicode tables and the line finder against
# ICU stay in the native builds. Tests that cannot hold under the emulator
# skip, naming why (support/server_process.hpp, VESTIGOR_SKIP_UNDER_EMULATOR).
include(${CMAKE_CURRENT_SOURCE_DIR}/gtest_from_source.cmake)
include(GoogleTest)

file(GLOB support_sources CONFIGURE_DEPENDS support/*.cpp)
list(REMOVE_ITEM support_sources ${CMAKE_CURRENT_SOURCE_DIR}/support/live_server.cpp)
add_library(vestigor_test_support STATIC ${support_sources})
target_include_directories(vestigor_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(vestigor_test_support
  PUBLIC vestigor_core vestigor_launcher gtest
  PRIVATE vestigor_test_flags)
target_compile_definitions(vestigor_test_support
  PRIVATE VESTIGOR_GOLDEN_DIR="${CMAKE_CURRENT_SOURCE_DIR}/golden"
  PUBLIC VESTIGOR_SERVER_UNDER_EMULATOR=1)

file(GLOB unit_sources CONFIGURE_DEPENDS
  util/*_test.cpp protocol/*_test.cpp tools/*_test.cpp search/*_test.cpp)
list(FILTER unit_sources EXCLUDE REGEX "_windows_test\\.cpp$")
list(REMOVE_ITEM unit_sources
  ${CMAKE_CURRENT_SOURCE_DIR}/util/char_facts_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/search/line_finder_test.cpp)
add_executable(unit_tests ${unit_sources})
target_link_libraries(unit_tests PRIVATE
  vestigor_core vestigor_test_support vestigor_test_flags gtest_main)
# One start of the emulator for the whole suite: discovery and a start per
# test would each pay qemu's start-up.
add_test(NAME unit_tests COMMAND unit_tests --gtest_brief=1)
set_tests_properties(unit_tests PROPERTIES TIMEOUT 600)

file(GLOB e2e_sources CONFIGURE_DEPENDS e2e/*_test.cpp)
add_executable(e2e_tests ${e2e_sources})
add_dependencies(e2e_tests vestigor-mcp)
target_link_libraries(e2e_tests PRIVATE
  vestigor_test_support vestigor_test_flags gtest_main)
add_test(NAME e2e_tests COMMAND e2e_tests --gtest_brief=1)
set_tests_properties(e2e_tests PROPERTIES TIMEOUT 900)
