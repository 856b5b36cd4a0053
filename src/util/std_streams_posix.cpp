#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "util/std_streams.hpp"

namespace vestigor_mcp {

void prepare_standard_streams() {
  // Writes fail instead: on a closed stdout (EPIPE), and beyond the file
  // size limit (EFBIG), where the append is undone and serving goes on.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
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
