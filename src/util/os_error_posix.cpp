// os_error_text on POSIX systems: strerror_r's text. GNU's strerror_r
// returns the text (maybe a static one, leaving the buffer alone); the
// POSIX one (macOS, the BSDs, musl) fills the buffer and returns 0.
// Overloads on the return type take whichever the C library declares.
#include <cstring>
#include <string>

#include "util/fd_io.hpp"

namespace vestigor_mcp {

namespace {

[[maybe_unused]] const char* strerror_text(const char* returned,
                                           const char* /*buffer*/) {
  return returned;
}

[[maybe_unused]] const char* strerror_text(int returned, const char* buffer) {
  return returned == 0 ? buffer : "Unknown error";
}

}  // namespace

std::string os_error_text(int errnum) {
  char buf[256] = {};
  std::string out = strerror_text(strerror_r(errnum, buf, sizeof buf), buf);
  out += " (os error ";
  out += std::to_string(errnum);
  out += ')';
  return out;
}

}  // namespace vestigor_mcp
