// no_io_uring: runs a program with io_uring_setup refused (ENOSYS) by a
// seccomp filter, as a container profile would, so that the benchmarks
// can time the server's plain-read way.
//
//   no_io_uring PROGRAM [ARGS...]
#include <unistd.h>

#include <cstdio>

#include "support/refuse_io_uring.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: no_io_uring PROGRAM [ARGS...]\n", stderr);
    return 2;
  }
  if (!vestigor_mcp::testing::refuse_io_uring()) {
    std::perror("no_io_uring: seccomp");
    return 2;
  }
  ::execv(argv[1], argv + 1);
  std::perror("no_io_uring: exec");
  return 127;
}
