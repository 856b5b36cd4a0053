// walk_directory.hpp: the platform's part of the walk, listing one open
// directory, and the listing it fills. walk_linux.cpp lists with
// getdents64; walk_posix.cpp with fdopendir and readdir, and serves any
// POSIX system (it is chosen with -DVESTIGOR_PORTABLE_WALK=ON);
// walk_windows.cpp asks the folder's handle for its entries. Whatever a
// listing meets is absorbed; only running out of memory is reported.
#pragma once

#ifndef _WIN32
#include <dirent.h>
#include <sys/stat.h>
#endif

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "util/buffer.hpp"

namespace vestigor_mcp {

// What the listing says an entry is, links not followed.
enum class EntryType : unsigned char {
  kUnknown,  // a link, or the system did not say: the walk looks it up
  kDirectory,
  kRegular,
  kOther,  // FIFO, socket, device: never a note
};

#if defined(DT_UNKNOWN) && defined(DT_DIR) && defined(DT_REG) && defined(DT_LNK)
// What a listing's d_type says, where the system has d_type.
inline EntryType entry_type_of(unsigned char d_type) {
  switch (d_type) {
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
}
#define VESTIGOR_HAVE_D_TYPE 1
#endif

// One directory's entries as the walk wants them: visible names only, and
// regular files only when they are notes. Names are kept NUL-terminated,
// one after another, so that they can be opened relative to the folder.
class Listing {
 public:
  // Takes one listed entry; "." and "..", hidden names and regular files
  // that are not notes are dropped here. False when out of memory.
  [[nodiscard]] bool add(std::string_view name, EntryType type);
  void clear();
  // Puts the entries in byte order of their names.
  void sort();

  std::size_t size() const { return entries_.size() / sizeof(Entry); }
  std::string_view name(std::size_t i) const;
  const char* c_name(std::size_t i) const {
    return names_.data() + at(i).offset;
  }
  EntryType type(std::size_t i) const { return at(i).type; }

 private:
  struct Entry {
    std::size_t offset;  // of the name in names_
    std::size_t size;
    EntryType type;
  };
  const Entry& at(std::size_t i) const;

  Buffer names_;
  Buffer entries_;  // Entry values, back to back
};

// Which folder an open descriptor is: the same numbers for every path that
// leads to it, links and junctions included (device and inode on POSIX,
// volume serial and file index on Windows).
struct FolderId {
  std::uint64_t device = 0;
  std::uint64_t index = 0;
  bool operator==(const FolderId&) const = default;
};

// The identity of the folder open as `fd`; false when it cannot be had.
#ifdef _WIN32
[[nodiscard]] bool folder_id(int fd, FolderId& id);
#else
[[nodiscard]] inline bool folder_id(int fd, FolderId& id) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    return false;
  }
  id = {static_cast<std::uint64_t>(st.st_dev),
        static_cast<std::uint64_t>(st.st_ino)};
  return true;
}
#endif

class DirectoryReader {
 public:
  // Adds the entries of the directory `fd`, freshly opened, to `listing`;
  // `fd` stays open. A listing that fails part-way ends there
  // and keeps what it gave. False only when out of memory.
  [[nodiscard]] bool list(int fd, Listing& listing);

 private:
  Buffer buffer_;  // for getdents64; unused by the POSIX reader
};

}  // namespace vestigor_mcp
