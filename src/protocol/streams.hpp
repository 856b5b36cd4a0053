// streams.hpp: raw descriptor I/O shared by the message loop and the tools.
// Interrupted system calls are retried; failures come back as values and
// are never thrown. The one place where errno becomes text.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace vestigor_mcp {

// "<strerror text> (os error N)", the wording of every OS failure we report.
std::string os_error_text(int errnum);

// Why write_all stopped: an errno value, or kNoProgress when the system
// accepted zero bytes.
inline constexpr int kNoProgress = 0;
std::string write_error_text(int error);

// Writes every byte of `data` to `fd`, repeating partial writes.
std::expected<void, int> write_all(int fd, std::string_view data);

// Writes "[vestigor-mcp] <content>\n" to standard error in one write.
// Failures (stderr closed, reader gone) are dropped.
void diagnostic(std::string_view content);

}  // namespace vestigor_mcp
