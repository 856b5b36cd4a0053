// Windows: MoveFileExW without MOVEFILE_REPLACE_EXISTING renames in one
// step and refuses a taken name.
#include <windows.h>

#include <cerrno>

#include "util/rename_no_replace.hpp"

namespace vestigor_mcp {

std::expected<void, int> rename_no_replace(const char* from, const char* to) {
  if (::MoveFileExW(windows::wide(from).c_str(), windows::wide(to).c_str(),
                    0)) {
    return {};
  }
  return std::unexpected(windows::errno_of(::GetLastError()));
}

}  // namespace vestigor_mcp
