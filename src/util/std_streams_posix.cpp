#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "util/std_streams.hpp"

namespace vestigor_mcp {

void prepare_standard_streams() {
  // A closed reader: write fails with EPIPE instead of SIGPIPE ending us.
  std::signal(SIGPIPE, SIG_IGN);
  // A standard stream that is not open at all would hand its descriptor
  // number to the next file we open (a note would then receive diagnostics
  // or responses). Park /dev/null there instead: reads see end of input,
  // writes vanish, exactly as for a missing stream.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      (void)::open("/dev/null", O_RDWR);
    }
  }
}

}  // namespace vestigor_mcp
