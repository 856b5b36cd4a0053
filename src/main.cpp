// The server's entry and its message loop: one JSON-RPC request per line
// on stdin, one response per line on stdout, diagnostics on stderr. Runs
// until stdin ends or fails, then exits 0.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <csignal>
#include <cstdlib>
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

// Input bytes that are not yet whole lines. Grown with realloc, which
// moves large blocks by remapping pages instead of copying and zeroing
// them: a 50 MB request line costs one pass over its bytes.
class InputBuffer {
 public:
  InputBuffer() = default;
  InputBuffer(const InputBuffer&) = delete;
  InputBuffer& operator=(const InputBuffer&) = delete;
  ~InputBuffer() { std::free(data_); }

  char* data() { return data_; }
  std::size_t capacity() const { return capacity_; }

  // Makes room for at least `free_bytes` past `used`; false when out of
  // memory.
  bool reserve_free(std::size_t used, std::size_t free_bytes) {
    if (capacity_ - used >= free_bytes) {
      return true;
    }
    const std::size_t wanted = std::max(capacity_ * 2, used + free_bytes);
    void* grown = std::realloc(data_, wanted);
    if (grown == nullptr) {
      return false;
    }
    data_ = static_cast<char*>(grown);
    capacity_ = wanted;
    return true;
  }

  // Gives memory back after an unusually long line has been served.
  void shrink(std::size_t used) {
    if (capacity_ > kShrinkAbove && used <= kReadChunk) {
      void* smaller = std::realloc(data_, 2 * kReadChunk);
      if (smaller != nullptr) {
        data_ = static_cast<char*>(smaller);
        capacity_ = 2 * kReadChunk;
      }
    }
  }

 private:
  static constexpr std::size_t kShrinkAbove = 16 * kReadChunk;
  char* data_ = nullptr;
  std::size_t capacity_ = 0;
};

void serve() {
  InputBuffer buffer;
  std::size_t start = 0;   // first byte of the current line
  std::size_t scan = 0;    // bytes before this hold no line feed
  std::size_t filled = 0;  // bytes of buffer holding input
  for (;;) {
    const void* nl = nullptr;
    while (filled > scan &&
           (nl = std::memchr(buffer.data() + scan, '\n', filled - scan))) {
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
      std::memmove(buffer.data(), buffer.data() + start, filled - start);
      filled -= start;
      scan -= start;
      start = 0;
      buffer.shrink(filled);
    }
    if (!buffer.reserve_free(filled, kReadChunk)) {
      diagnostic("stdin error: " + os_error_text(ENOMEM));
      return;
    }
    const ssize_t n = ::read(STDIN_FILENO, buffer.data() + filled,
                             buffer.capacity() - filled);
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
