# Cross-builds the Linux arm64 server on Debian with g++-aarch64-linux-gnu
# (GCC 12). Programs built here run under qemu-user, which ctest uses as
# the emulator; the dynamically linked test programs find the arm64 C and
# C++ runtimes under /usr/aarch64-linux-gnu. The release server is static
# and needs neither.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(VESTIGOR_QEMU_AARCH64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR
  ${VESTIGOR_QEMU_AARCH64} -L /usr/aarch64-linux-gnu)
