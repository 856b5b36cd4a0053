// fd_io.hpp: writing to the standard streams' descriptors. Interrupted
// system calls are retried; failures come back as the OS boundary's
// OsError (util/os.hpp), "no progress" for a write that took no byte, and
// are never thrown.
#pragma once

#include <string>
#include <string_view>

#include "util/os.hpp"

namespace vestigor_mcp {

using os::os_error_text;

// Writes every byte of `data` to `fd`, repeating partial writes. On a
// non-blocking descriptor that has no room (EAGAIN) it waits until it has
// (poll) and goes on, as a blocking write would: a line is never cut.
os::Result<void> write_all(int fd, std::string_view data);
// The same, counting in `written` the bytes that went out, failure or not.
os::Result<void> write_all(int fd, std::string_view data, std::size_t& written);

}  // namespace vestigor_mcp
