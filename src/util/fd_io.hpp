// fd_io.hpp: writing to the standard streams' descriptors. Interrupted
// system calls are retried; failures come back as values and are never
// thrown. (The I/O error text comes from the OS boundary, util/os.hpp.)
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "util/os.hpp"

namespace vestigor_mcp {

using os::os_error_text;

// Why write_all stopped: an errno value, or kNoProgress when the system
// accepted zero bytes.
inline constexpr int kNoProgress = 0;

// Writes every byte of `data` to `fd`, repeating partial writes. On a
// non-blocking descriptor that has no room (EAGAIN) it waits until it has
// (poll) and goes on, as a blocking write would: a line is never cut.
std::expected<void, int> write_all(int fd, std::string_view data);
// The same, counting in `written` the bytes that went out, failure or not.
std::expected<void, int> write_all(int fd, std::string_view data,
                                   std::size_t& written);

}  // namespace vestigor_mcp
