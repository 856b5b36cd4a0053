// The part of the OS boundary that is the same on every platform: the
// loops over Io that finish what one call leaves undone.
#include "util/os.hpp"

#include <string>

namespace vestigor_mcp::os {

std::string os_error_text(const OsError& error) {
  if (error.is_no_progress()) {
    return "failed to write whole buffer";
  }
  return os_error_text(error.code());
}

Result<void> write_all(Io& io, const Handle& file, std::string_view bytes,
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

Result<std::size_t> read_at(Io& io, const Handle& file, char* to,
                            std::size_t size, std::uint64_t offset) {
  for (;;) {
    const Result<std::size_t> n = io.read_at(file, to, size, offset);
    if (n || !n.error().is(Errc::kInterrupted)) {
      return n;
    }
  }
}

Result<std::size_t> read_span(Io& io, const Handle& file, char* to,
                              std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const Result<std::size_t> n =
        read_at(io, file, to + done, size - done, offset + done);
    if (!n) {
      return n;
    }
    if (*n == 0) {
      break;
    }
    done += *n;
  }
  return done;
}

Result<void> sync_data(Io& io, const Handle& file) {
  for (;;) {
    const Result<void> done = io.sync_data(file);
    if (done || !done.error().is(Errc::kInterrupted)) {
      return done;
    }
  }
}

}  // namespace vestigor_mcp::os
