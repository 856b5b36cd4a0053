// Any other system: POSIX has no rename that refuses a taken name.
#include <cerrno>

#include "util/rename_no_replace.hpp"

namespace vestigor_mcp {

std::expected<void, int> rename_no_replace(const char*, const char*) {
  return std::unexpected(ENOSYS);
}

}  // namespace vestigor_mcp
