// The part of the OS boundary that is the same on every platform: the
// loops over Io that finish what one call leaves undone.
#include "util/os.hpp"

#include <string>

namespace vestigor_mcp::os {

// The calls through Io are left out of the sanitizer's check of dynamic
// types: its first check of a type probes memory with a write(2) of its
// own, which would land among the server's writes where tests that fail
// the n-th write under strace count them.
#ifdef __clang__
#define VESTIGOR_IO_CALLS [[clang::no_sanitize("vptr")]]
#else
#define VESTIGOR_IO_CALLS [[gnu::no_sanitize("vptr")]]
#endif

std::string os_error_text(const OsError& error) {
  if (error.is_no_progress()) {
    return "failed to write whole buffer";
  }
  return os_error_text(error.code());
}

VESTIGOR_IO_CALLS Result<void> write_all(Io& io, const Handle& file,
                                         std::string_view bytes,
                                         std::size_t& written) {
  written = 0;
  while (!bytes.empty()) {
    const Result<std::size_t> n = io.write(file, bytes);
    if (!n) {
      if (n.error().is(Errc::kInterrupted)) {
        continue;
      }
      return std::unexpected(n.error());
    }
    if (*n == 0) {
      return std::unexpected(OsError::no_progress());
    }
    written += *n;
    bytes.remove_prefix(*n);
  }
  return {};
}

VESTIGOR_IO_CALLS Result<std::size_t> read_at(Io& io, const Handle& file,
                                              char* to, std::size_t size,
                                              std::uint64_t offset) {
  for (;;) {
    const Result<std::size_t> n = io.read_at(file, to, size, offset);
    if (n || !n.error().is(Errc::kInterrupted)) {
      return n;
    }
  }
}

VESTIGOR_IO_CALLS Result<void> sync_data(Io& io, const Handle& file) {
  for (;;) {
    const Result<void> done = io.sync_data(file);
    if (done || !done.error().is(Errc::kInterrupted)) {
      return done;
    }
  }
}

}  // namespace vestigor_mcp::os
