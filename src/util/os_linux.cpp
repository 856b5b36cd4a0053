// The OS boundary's Linux calls: the listing straight from getdents64 into
// one reused buffer (no DIR stream per folder), pseudo file systems known
// by statfs, and renameat2's no-replace rename.
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "util/os.hpp"

namespace vestigor_mcp::os {

namespace {

#ifndef VESTIGOR_PORTABLE_WALK
constexpr std::size_t kListingBytes = std::size_t{32} * 1024;
#endif

// File systems whose files are the kernel's state, not anyone's notes:
// some never end (/proc/kmsg, trace_pipe) or block. devtmpfs reports
// tmpfs's number and cannot be told apart; its devices are never notes.
constexpr unsigned long kConfigFsMagic = 0x62656570;
constexpr unsigned long kFuseCtlMagic = 0x65735543;
constexpr unsigned long kPseudoFileSystems[] = {
    PROC_SUPER_MAGIC,    SYSFS_MAGIC,    CGROUP_SUPER_MAGIC,
    CGROUP2_SUPER_MAGIC, DEBUGFS_MAGIC,  TRACEFS_MAGIC,
    SECURITYFS_MAGIC,    PSTOREFS_MAGIC, BPF_FS_MAGIC,
    DEVPTS_SUPER_MAGIC,  EFIVARFS_MAGIC, SELINUX_MAGIC,
    SMACK_MAGIC,         BINFMTFS_MAGIC, NSFS_MAGIC,
    kConfigFsMagic,      kFuseCtlMagic,
};

bool on_pseudo_file_system(int fd) {
  struct statfs fs {};
  if (::fstatfs(fd, &fs) != 0) {
    return false;
  }
  const auto type = static_cast<unsigned long>(fs.f_type);
  for (const unsigned long pseudo : kPseudoFileSystems) {
    if (type == pseudo) {
      return true;
    }
  }
  return false;
}

#ifndef VESTIGOR_PORTABLE_WALK
EntryType entry_type_of(unsigned char d_type) {
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
#endif

}  // namespace

#ifndef VESTIGOR_PORTABLE_WALK
Result<void> Lister::list(const Handle& folder, EntrySink& sink) {
  buffer_.resize(kListingBytes);
  for (;;) {
    const ssize_t n =
        ::getdents64(folder.native(), buffer_.data(), buffer_.size());
    if (n == 0) {
      return {};
    }
    if (n < 0) {
      return std::unexpected(OsError::system(errno));
    }
    const char* const records = buffer_.data();
    for (std::size_t at = 0; at < static_cast<std::size_t>(n);) {
      dirent64 record;
      constexpr std::size_t kHeader = offsetof(dirent64, d_name);
      std::memcpy(&record, records + at, kHeader);
      sink.take(records + at + kHeader, entry_type_of(record.d_type));
      at += record.d_reclen;
    }
  }
}
#endif

Result<FolderInfo> folder_info(const Handle& folder, const FolderInfo* parent,
                               EntryType /*listed*/) {
  struct stat st {};
  if (::fstat(folder.native(), &st) != 0) {
    return std::unexpected(OsError::system(errno));
  }
  FolderInfo info{{static_cast<std::uint64_t>(st.st_dev),
                   static_cast<std::uint64_t>(st.st_ino)},
                  false};
  // A folder on its parent's device is on its parent's file system: one
  // statfs per mount crossed, not per folder.
  info.pseudo = parent != nullptr && parent->id.device == info.id.device
                    ? parent->pseudo
                    : on_pseudo_file_system(folder.native());
  return info;
}

bool on_pseudo_file_system(Folder at, const char* name) {
  // O_PATH opens nothing for reading: a FIFO cannot hold it up.
  const int fd =
      ::openat(at.is_path() ? AT_FDCWD : at.native(), name, O_PATH | O_CLOEXEC);
  if (fd < 0) {
    return false;  // gone: the reader finds that out for itself
  }
  const bool pseudo = on_pseudo_file_system(fd);
  ::close(fd);
  return pseudo;
}

Result<void> rename_no_replace(const char* from, const char* to) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) != 0) {
    return std::unexpected(OsError::system(errno));
  }
  return {};
}

}  // namespace vestigor_mcp::os
