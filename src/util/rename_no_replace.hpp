// rename_no_replace.hpp: giving a file a new name in one step that fails
// when the name is taken, the platform's part. rename_no_replace_linux.cpp
// uses renameat2(RENAME_NOREPLACE); rename_no_replace_posix.cpp serves
// every other system, which has no such call.
#pragma once

#include <expected>

namespace vestigor_mcp {

// Renames `from` to `to` unless `to` exists (EEXIST). ENOSYS where the
// system has no such rename; EINVAL (or another errno) from a file system
// that cannot do it.
std::expected<void, int> rename_no_replace(const char* from, const char* to);

}  // namespace vestigor_mcp
