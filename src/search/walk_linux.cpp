// The Linux listing: getdents64 straight into one reused buffer, with no
// DIR stream to allocate per folder, and d_type from every file system
// that fills it in.
#include <dirent.h>
#include <sys/types.h>

#include <cstddef>
#include <cstring>

#include "search/walk_directory.hpp"

namespace vestigor_mcp {

namespace {

constexpr std::size_t kListingBytes = std::size_t{32} * 1024;

}  // namespace

bool DirectoryReader::list(int fd, Listing& listing) {
  if (!buffer_.reserve(kListingBytes)) {
    return false;
  }
  for (;;) {
    const ssize_t n = ::getdents64(fd, buffer_.data(), buffer_.capacity());
    if (n <= 0) {
      return true;  // the end, or an error that ends the listing
    }
    const char* const records = buffer_.data();
    for (std::size_t at = 0; at < static_cast<std::size_t>(n);) {
      dirent64 record;
      constexpr std::size_t kHeader = offsetof(dirent64, d_name);
      std::memcpy(&record, records + at, kHeader);
      const char* name = records + at + kHeader;
      if (!listing.add(name, entry_type_of(record.d_type))) {
        return false;
      }
      at += record.d_reclen;
    }
  }
}

}  // namespace vestigor_mcp
