// The POSIX listing: fdopendir and readdir, for every system that has
// them. d_type is used where the system has it; elsewhere every entry is
// looked up by the walk (fstatat).
#include <dirent.h>
#include <unistd.h>

#include "search/walk_directory.hpp"

namespace vestigor_mcp {

namespace {

EntryType entry_type([[maybe_unused]] const dirent& entry) {
#ifdef VESTIGOR_HAVE_D_TYPE
  return entry_type_of(entry.d_type);
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
