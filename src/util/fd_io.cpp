#include "util/fd_io.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "util/eintr.hpp"
#include "util/std_streams.hpp"

namespace vestigor_mcp {

namespace {

// One write takes at most 1 GiB: Windows' C runtime counts in unsigned int.
constexpr std::size_t kMostPerWrite = std::size_t{1} << 30;

}  // namespace

os::Result<void> write_all(int fd, std::string_view data) {
  std::size_t written = 0;
  return write_all(fd, data, written);
}

os::Result<void> write_all(int fd, std::string_view data,
                           std::size_t& written) {
  written = 0;
  while (!data.empty()) {
    const auto size =
        static_cast<unsigned>(std::min(data.size(), kMostPerWrite));
    const ssize_t n =
        retry_on_eintr([&] { return ::write(fd, data.data(), size); });
    if (n < 0) {
      if (waited_for(fd, Readiness::kRoom)) {
        continue;
      }
      return std::unexpected(os::OsError::system(errno));
    }
    if (n == 0) {
      return std::unexpected(os::OsError::no_progress());
    }
    written += static_cast<std::size_t>(n);
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace vestigor_mcp
