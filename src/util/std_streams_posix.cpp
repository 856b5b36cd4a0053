#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>

#include "util/eintr.hpp"
#include "util/fd_io.hpp"
#include "util/std_streams.hpp"

namespace vestigor_mcp {

namespace {

// Whether the pipe on `fd` can take `size` bytes without a wait. A pipe
// keeps its bytes in pages: the one being read from and the one being
// written to may be partly used, so two pages' worth of free space is not
// counted on.
bool pipe_has_room(int fd, std::size_t size) {
#if defined(F_GETPIPE_SZ) && defined(FIONREAD)
  constexpr std::size_t kPage = 4096;
  const int capacity = ::fcntl(fd, F_GETPIPE_SZ);
  int queued = 0;
  if (capacity < 0 || ::ioctl(fd, FIONREAD, &queued) != 0 || queued < 0) {
    return true;  // cannot tell: poll's answer stands
  }
  const auto free = static_cast<std::size_t>(capacity) -
                    std::min(static_cast<std::size_t>(queued),
                             static_cast<std::size_t>(capacity));
  return free >= size + 2 * kPage;
#else
  (void)fd;
  (void)size;
  return true;
#endif
}

}  // namespace

bool waited_for(int fd, Readiness readiness) {
  if (errno != EAGAIN && errno != EWOULDBLOCK) {
    return false;
  }
  const short events = readiness == Readiness::kInput ? POLLIN : POLLOUT;
  pollfd ready{fd, events, 0};
  (void)retry_on_eintr([&] { return ::poll(&ready, 1, -1); });
  return true;
}

bool write_line_if_room(int fd, std::string_view line) {
  pollfd ready{fd, POLLOUT, 0};
  if (retry_on_eintr([&] { return ::poll(&ready, 1, 0); }) != 1 ||
      (ready.revents & POLLOUT) == 0) {
    return false;  // full, or closed (POLLERR, POLLHUP, POLLNVAL)
  }
  struct stat st {};
  if (line.size() > PIPE_BUF && ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) &&
      !pipe_has_room(fd, line.size())) {
    return false;
  }
  // Up to PIPE_BUF bytes a pipe takes whole or not at all, so a
  // non-blocking one that is full after all drops the line untouched.
  const ssize_t n =
      retry_on_eintr([&] { return ::write(fd, line.data(), line.size()); });
  if (n <= 0) {
    return false;
  }
  return static_cast<std::size_t>(n) == line.size() ||
         write_all(fd, line.substr(static_cast<std::size_t>(n))).has_value();
}

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
