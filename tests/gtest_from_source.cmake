# GoogleTest built from Debian's sources (googletest, /usr/src/googletest)
# for builds that cannot link Debian's libraries: another C++ library
# (clang with libc++) or another CPU. Sets vestigor_gtest and
# vestigor_gtest_main to its targets.
set(VESTIGOR_GTEST_SOURCE /usr/src/googletest CACHE PATH
  "GoogleTest's sources, built for the tests of this build")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${VESTIGOR_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest
  EXCLUDE_FROM_ALL)
set(vestigor_gtest gtest)
set(vestigor_gtest_main gtest_main)
