// posix_windows.hpp: the POSIX calls the shared code makes, on Windows.
// The Windows build includes this header first in every source file of the
// server (the compiler's -include), so that the shared code, written
// against POSIX, compiles there unchanged. Files are opened with the wide
// (UTF-16) Win32 calls, the names converted from and to UTF-8 at this
// edge; the descriptors are the C runtime's, in binary mode.
//
// Directory descriptors: openat(..., O_DIRECTORY) opens a folder handle
// (FILE_FLAG_BACKUP_SEMANTICS) under a C runtime descriptor, and a name
// opened relative to it is joined to the folder's final path, so that the
// walk's descriptor-relative reads work as on POSIX, at any path length.
//
// errno: a Windows error the shared code tells apart becomes its errno
// (ENOENT, EEXIST, ENOTDIR, ENAMETOOLONG, ENOMEM, EINVAL); any other is
// kept exactly, as the negative of the Windows code, for os_error_text.
#pragma once

#ifdef _WIN32

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>

#define AT_FDCWD (-100)
#define AT_SYMLINK_NOFOLLOW 0x100
// Windows handles are not inherited unless asked for; a Windows file is
// never a FIFO that could block an open.
#define O_CLOEXEC 0
#define O_NONBLOCK 0
// A flag the C runtime does not use.
#define O_DIRECTORY 0x200000
#define S_IFLNK 0xA000
#define S_ISLNK(m) (((m)&S_IFMT) == S_IFLNK)

// Opens `name` relative to the folder descriptor `dir` (or AT_FDCWD),
// links followed: O_RDONLY, or O_WRONLY with O_APPEND (an append-only
// handle, each write landing whole at the end), with O_CREAT and O_EXCL.
int openat(int dir, const char* name, int flags, ...);
// The type and size of `name` relative to `dir`, links followed unless
// AT_SYMLINK_NOFOLLOW.
int fstatat(int dir, const char* name, struct stat* st, int flags);
// lstat: a reparse point (link, junction) is S_IFLNK.
int lstat(const char* path, struct stat* st);
// FlushFileBuffers. A handle that cannot be flushed (a folder, which
// Windows flushes only when opened for writing; a pipe) is EINVAL.
int fsync(int fd);
int fdatasync(int fd);
// CreateHardLinkW; a name that is taken is EEXIST.
int link(const char* existing, const char* new_name);
// The final path of what `path` leads to, "/" as separator, malloc'ed.
char* realpath(const char* path, char* resolved);

// flock over LockFileEx: LOCK_EX waits for the whole file (with LOCK_NB,
// a lock held elsewhere fails at once with EWOULDBLOCK), LOCK_UN lets it go.
#define LOCK_EX 2
#define LOCK_NB 4
#define LOCK_UN 8
int flock(int fd, int operation);
// pread over ReadFile at an offset; the descriptor's position moves too,
// which no caller relies on.
ssize_t pread(int fd, void* data, std::size_t size, off_t offset);

inline int mkdir(const char* path, int /*mode*/) { return ::_mkdir(path); }
inline ssize_t read(int fd, void* data, std::size_t size) {
  constexpr std::size_t kMost = std::size_t{1} << 30;
  return ::_read(fd, data, static_cast<unsigned>(size < kMost ? size : kMost));
}
inline ssize_t write(int fd, const void* data, std::size_t size) {
  constexpr std::size_t kMost = std::size_t{1} << 30;
  return ::_write(fd, data, static_cast<unsigned>(size < kMost ? size : kMost));
}

namespace vestigor_mcp::windows {

// UTF-8 to UTF-16 and back; invalid sequences become U+FFFD.
std::wstring wide(std::string_view text);
std::string narrow(std::wstring_view text);

// errno for the Windows error `code`, as described above.
int errno_of(unsigned long code);

}  // namespace vestigor_mcp::windows

#endif  // _WIN32
