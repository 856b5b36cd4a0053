// The POSIX listing: fdopendir and readdir, for every system that has
// them. d_type is used where the system has it; elsewhere every entry is
// looked up by the walk (fstatat).
#include <dirent.h>
#include <unistd.h>

#include "tools/walk_directory.hpp"

namespace vestigor_mcp {

namespace {

EntryType entry_type([[maybe_unused]] const dirent& entry) {
#if defined(DT_UNKNOWN) && defined(DT_DIR) && defined(DT_REG) && defined(DT_LNK)
  switch (entry.d_type) {
    case DT_DIR:
      return EntryType::kDirectory;
    case DT_REG:
      return EntryType::kRegular;
    case DT_LNK:
    case DT_UNKNOWN:
      return EntryType::kUnknown;
    default:
      return EntryType::kOther;
  }
#else
  return EntryType::kUnknown;
#endif
}

}  // namespace

bool DirectoryReader::list(int fd, Listing& listing) {
  // closedir closes the descriptor it was given; the walk keeps its own.
  const int copy = ::dup(fd);
  if (copy < 0) {
    return true;
  }
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    ::close(copy);
    return true;
  }
  bool ok = true;
  while (const dirent* entry = ::readdir(dir)) {
    if (!listing.add(entry->d_name, entry_type(*entry))) {
      ok = false;
      break;
    }
  }
  ::closedir(dir);
  return ok;
}

}  // namespace vestigor_mcp
