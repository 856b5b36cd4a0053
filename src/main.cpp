// The server's entry and its message loop: one JSON-RPC request per line
// on stdin, one response per line on stdout, diagnostics on stderr. Runs
// until stdin ends or fails, then exits 0.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <string>
#include <string_view>

#include "protocol/request.hpp"
#include "protocol/streams.hpp"
#include "protocol/unicode.hpp"

namespace vestigor_mcp {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

// A standard stream that is not open at all would hand its descriptor
// number to the next file we open (a note would then receive diagnostics
// or responses). Park /dev/null there instead: reads see end of input,
// writes vanish, exactly as for a missing stream.
void fill_missing_standard_streams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      (void)::open("/dev/null", O_RDWR);
    }
  }
}

void write_diagnostic(std::string_view content) { diagnostic(content); }

// Returns false when the loop must end (invalid UTF-8).
bool serve_line(std::string_view line) {
  if (!is_valid_utf8(line)) {
    diagnostic("stdin error: stream did not contain valid UTF-8");
    return false;
  }
  if (auto response = handle_line(line, write_diagnostic)) {
    response->push_back('\n');
    (void)write_all(STDOUT_FILENO, *response);  // a closed reader is ignored
  }
  return true;
}

void serve() {
  std::string buffer;
  std::size_t start = 0;   // first byte of the current line
  std::size_t scan = 0;    // bytes before this hold no line feed
  std::size_t filled = 0;  // bytes of buffer holding input
  for (;;) {
    const void* nl = nullptr;
    while ((nl = std::memchr(buffer.data() + scan, '\n', filled - scan))) {
      const auto end = static_cast<std::size_t>(
          static_cast<const char*>(nl) - buffer.data());
      std::string_view line(buffer.data() + start, end - start);
      if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
      }
      if (!serve_line(line)) {
        return;
      }
      start = scan = end + 1;
    }
    // Keep only the unfinished line, then make room to read more.
    if (start > 0) {
      buffer.erase(0, start);
      filled -= start;
      scan -= start;
      start = 0;
    }
    if (buffer.size() - filled < kReadChunk) {
      buffer.resize(std::max(buffer.size() * 2, filled + kReadChunk));
    }
    const ssize_t n = ::read(STDIN_FILENO, buffer.data() + filled,
                             buffer.size() - filled);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      diagnostic("stdin error: " + os_error_text(errno));
      return;
    }
    if (n == 0) {
      if (filled > 0) {
        (void)serve_line(std::string_view(buffer.data(), filled));
      }
      return;
    }
    scan = filled;
    filled += static_cast<std::size_t>(n);
  }
}

}  // namespace
}  // namespace vestigor_mcp

int main() {
  std::signal(SIGPIPE, SIG_IGN);
  vestigor_mcp::fill_missing_standard_streams();
  vestigor_mcp::diagnostic("starting on stdio");
  vestigor_mcp::serve();
  return 0;
}
