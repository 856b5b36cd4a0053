// Linux: renameat2 with RENAME_NOREPLACE (Linux 3.15, glibc 2.28).
#include <fcntl.h>

#include <cerrno>
#include <cstdio>

#include "util/rename_no_replace.hpp"

namespace vestigor_mcp {

std::expected<void, int> rename_no_replace(const char* from, const char* to) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) != 0) {
    return std::unexpected(errno);
  }
  return {};
}

}  // namespace vestigor_mcp
