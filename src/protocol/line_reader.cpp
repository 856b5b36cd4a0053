#include "protocol/line_reader.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "util/eintr.hpp"
#include "util/std_streams.hpp"

namespace vestigor_mcp {

namespace {

constexpr std::size_t kReadChunk = std::size_t{64} * 1024;
// After a line longer than this has been served the buffer shrinks back.
constexpr std::size_t kShrinkAbove = 16 * kReadChunk;

}  // namespace

std::expected<std::optional<std::string_view>, os::OsError> LineReader::next() {
  for (;;) {
    char* const data = buffer_.data();
    const std::size_t filled = buffer_.size();
    if (scan_ < filled) {
      if (const void* nl = std::memchr(data + scan_, '\n', filled - scan_)) {
        const auto end =
            static_cast<std::size_t>(static_cast<const char*>(nl) - data);
        if (dropping_) {  // the end of the dropped line
          dropping_ = false;
          start_ = scan_ = end + 1;
          continue;
        }
        std::string_view line(data + start_, end - start_);
        if (!line.empty() && line.back() == '\r') {
          line.remove_suffix(1);
        }
        start_ = scan_ = end + 1;
        return line;
      }
    }
    // Keep only the unfinished line (nothing of a dropped one), then make
    // room to read more.
    if (dropping_) {
      buffer_.clear();
      start_ = 0;
    } else if (start_ > 0) {
      std::memmove(data, data + start_, filled - start_);
      buffer_.resize(filled - start_);
      start_ = 0;
      if (buffer_.capacity() > kShrinkAbove && buffer_.size() <= kReadChunk) {
        buffer_.shrink_to(2 * kReadChunk);
      }
    }
    if (ended_) {
      return std::nullopt;  // the last line went with the end
    }
    scan_ = buffer_.size();
    if (!buffer_.reserve(buffer_.size() + kReadChunk)) {
      // Give the memory back and drop the line; the caller hears once.
      buffer_.clear();
      buffer_.shrink_to(2 * kReadChunk);
      start_ = scan_ = 0;
      dropping_ = true;
      return std::unexpected(os::OsError::out_of_memory());
    }
    // At most 1 GiB: Windows' C runtime counts in unsigned int.
    const auto room = static_cast<unsigned>(
        std::min(buffer_.capacity() - buffer_.size(), std::size_t{1} << 30));
    const ssize_t n = ::read(fd_, buffer_.data() + buffer_.size(), room);
    if (n < 0) {
      if (errno == EINTR || waited_for(fd_, Readiness::kInput)) {
        continue;
      }
      return std::unexpected(os::OsError::system(errno));
    }
    if (n == 0) {
      ended_ = true;
      dropping_ = false;  // a dropped line ends with the input too
      if (buffer_.size() == 0) {
        return std::nullopt;
      }
      // The input ended inside a line: that line is whole now.
      start_ = scan_ = buffer_.size();
      return std::string_view(buffer_.data(), buffer_.size());
    }
    buffer_.resize(buffer_.size() + static_cast<std::size_t>(n));
  }
}

}  // namespace vestigor_mcp
