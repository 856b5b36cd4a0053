#include "util/fd_io.hpp"

#ifndef _WIN32
#include <poll.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "util/eintr.hpp"

namespace vestigor_mcp {

namespace {

// Whether a write that found no room (a non-blocking descriptor whose
// reader is behind) may be made again: once poll says there is room.
// Windows descriptors never say EAGAIN.
bool waited_for_room(int fd) {
#ifdef _WIN32
  (void)fd;
  return false;
#else
  if (errno != EAGAIN && errno != EWOULDBLOCK) {
    return false;
  }
  pollfd ready{fd, POLLOUT, 0};
  // POLLERR or POLLHUP end the wait too: the write then says what is wrong.
  (void)retry_on_eintr([&] { return ::poll(&ready, 1, -1); });
  return true;
#endif
}

// One write takes at most 1 GiB: Windows' C runtime counts in unsigned int.
constexpr std::size_t kMostPerWrite = std::size_t{1} << 30;

}  // namespace

std::expected<void, int> write_all(int fd, std::string_view data) {
  std::size_t written = 0;
  return write_all(fd, data, written);
}

std::expected<void, int> write_all(int fd, std::string_view data,
                                   std::size_t& written) {
  written = 0;
  while (!data.empty()) {
    const auto size =
        static_cast<unsigned>(std::min(data.size(), kMostPerWrite));
    const ssize_t n =
        retry_on_eintr([&] { return ::write(fd, data.data(), size); });
    if (n < 0) {
      if (waited_for_room(fd)) {
        continue;
      }
      return std::unexpected(errno);
    }
    if (n == 0) {
      return std::unexpected(kNoProgress);
    }
    written += static_cast<std::size_t>(n);
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace vestigor_mcp
