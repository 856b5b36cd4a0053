// fd_io.hpp: raw descriptor I/O and the one place where errno becomes text.
// Interrupted system calls are retried; failures come back as values and
// are never thrown.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace vestigor_mcp {

// "<strerror text> (os error N)", the wording of every OS failure reported.
std::string os_error_text(int errnum);

// Why write_all stopped: an errno value, or kNoProgress when the system
// accepted zero bytes.
inline constexpr int kNoProgress = 0;
// os_error_text, or "failed to write whole buffer" for kNoProgress.
std::string write_error_text(int error);

// Writes every byte of `data` to `fd`, repeating partial writes. On a
// non-blocking descriptor that has no room (EAGAIN) it waits until it has
// (poll) and goes on, as a blocking write would: a line is never cut.
std::expected<void, int> write_all(int fd, std::string_view data);
// The same, counting in `written` the bytes that went out, failure or not.
std::expected<void, int> write_all(int fd, std::string_view data,
                                   std::size_t& written);

}  // namespace vestigor_mcp
