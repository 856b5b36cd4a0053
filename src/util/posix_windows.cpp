// The POSIX subset of posix_windows.hpp over the wide Win32 calls.
#include "util/posix_windows.hpp"

#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vestigor_mcp::windows {

std::wstring wide(std::string_view text) {
  if (text.empty()) {
    return {};
  }
  const int size = ::MultiByteToWideChar(
      CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                        out.data(), size);
  return out;
}

std::string narrow(std::wstring_view text) {
  if (text.empty()) {
    return {};
  }
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(),
                                         static_cast<int>(text.size()), nullptr,
                                         0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                        out.data(), size, nullptr, nullptr);
  return out;
}

int errno_of(unsigned long code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return ENOENT;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default:
      return -static_cast<int>(code);
  }
}

}  // namespace vestigor_mcp::windows

namespace {

using vestigor_mcp::windows::errno_of;
using vestigor_mcp::windows::narrow;
using vestigor_mcp::windows::wide;

int fail_with_last_error() {
  errno = errno_of(::GetLastError());
  return -1;
}

// The final path of the open handle `handle`, as \\?\ path.
bool final_path(HANDLE handle, std::wstring& out) {
  out.resize(MAX_PATH);
  for (int attempt = 0; attempt < 3; ++attempt) {
    const DWORD size = ::GetFinalPathNameByHandleW(
        handle, out.data(), static_cast<DWORD>(out.size()),
        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (size == 0) {
      return false;
    }
    if (size < out.size()) {
      out.resize(size);
      return true;
    }
    out.resize(size);
  }
  return false;
}

// The path that `name` relative to `dir` names, in UTF-16.
bool path_at(int dir, const char* name, std::wstring& out) {
  if (dir == AT_FDCWD) {
    out = wide(name);
    return true;
  }
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(dir));
  if (handle == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return false;
  }
  if (!final_path(handle, out)) {
    fail_with_last_error();
    return false;
  }
  if (!out.empty() && out.back() != L'\\') {
    out += L'\\';
  }
  out += wide(name);
  return true;
}

constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE open_for_attributes(const std::wstring& path, bool follow) {
  return ::CreateFileW(
      path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
      nullptr);
}

void fill_stat(const BY_HANDLE_FILE_INFORMATION& info, struct stat* st) {
  std::memset(st, 0, sizeof *st);
  const bool directory =
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  st->st_mode = static_cast<decltype(st->st_mode)>(
      (directory ? S_IFDIR : S_IFREG) | 0666);
  st->st_size = static_cast<decltype(st->st_size)>(
      (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) |
      info.nFileSizeLow);
  st->st_nlink = static_cast<decltype(st->st_nlink)>(info.nNumberOfLinks);
}

}  // namespace

int openat(int dir, const char* name, int flags, ...) {
  std::wstring path;
  if (!path_at(dir, name, path)) {
    return -1;
  }
  const bool writing = (flags & (O_WRONLY | O_RDWR)) != 0;
  DWORD access = GENERIC_READ;
  if (writing) {
    // Append-only: the system puts every write at the end, whole.
    access = (flags & O_APPEND) != 0 ? FILE_APPEND_DATA | SYNCHRONIZE
                                     : GENERIC_WRITE;
  }
  DWORD disposition = OPEN_EXISTING;
  if ((flags & O_CREAT) != 0) {
    disposition = (flags & O_EXCL) != 0 ? CREATE_NEW : OPEN_ALWAYS;
  }
  DWORD attributes = FILE_ATTRIBUTE_NORMAL;
  if ((flags & O_DIRECTORY) != 0) {
    attributes = FILE_FLAG_BACKUP_SEMANTICS;
  }
  const HANDLE handle = ::CreateFileW(path.c_str(), access, kShareAll, nullptr,
                                      disposition, attributes, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return fail_with_last_error();
  }
  if ((flags & O_DIRECTORY) != 0) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      ::CloseHandle(handle);
      errno = ENOTDIR;
      return -1;
    }
  }
  const int fd =
      ::_open_osfhandle(reinterpret_cast<intptr_t>(handle),
                        _O_BINARY | (writing ? _O_WRONLY : _O_RDONLY));
  if (fd < 0) {
    ::CloseHandle(handle);
    errno = EMFILE;
  }
  return fd;
}

int fstatat(int dir, const char* name, struct stat* st, int flags) {
  std::wstring path;
  if (!path_at(dir, name, path)) {
    return -1;
  }
  const HANDLE handle =
      open_for_attributes(path, (flags & AT_SYMLINK_NOFOLLOW) == 0);
  if (handle == INVALID_HANDLE_VALUE) {
    return fail_with_last_error();
  }
  BY_HANDLE_FILE_INFORMATION info{};
  const bool got = ::GetFileInformationByHandle(handle, &info) != 0;
  const DWORD error = ::GetLastError();
  ::CloseHandle(handle);
  if (!got) {
    errno = errno_of(error);
    return -1;
  }
  fill_stat(info, st);
  if ((flags & AT_SYMLINK_NOFOLLOW) != 0 &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    st->st_mode = static_cast<decltype(st->st_mode)>(S_IFLNK | 0777);
  }
  return 0;
}

int lstat(const char* path, struct stat* st) {
  return fstatat(AT_FDCWD, path, st, AT_SYMLINK_NOFOLLOW);
}

int fsync(int fd) {
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return -1;
  }
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    errno = EINVAL;  // a device or pipe keeps nothing to flush
    return -1;
  }
  if (::FlushFileBuffers(handle)) {
    return 0;
  }
  const DWORD error = ::GetLastError();
  if (error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_HANDLE ||
      error == ERROR_INVALID_FUNCTION) {
    errno = EINVAL;  // nothing this handle can flush
  } else {
    errno = errno_of(error);
  }
  return -1;
}

int fdatasync(int fd) { return fsync(fd); }

int flock(int fd, int operation) {
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return -1;
  }
  OVERLAPPED whole{};
  if ((operation & LOCK_UN) != 0) {
    return ::UnlockFileEx(handle, 0, MAXDWORD, MAXDWORD, &whole)
               ? 0
               : fail_with_last_error();
  }
  const DWORD how =
      LOCKFILE_EXCLUSIVE_LOCK |
      ((operation & LOCK_NB) != 0 ? LOCKFILE_FAIL_IMMEDIATELY : 0);
  if (::LockFileEx(handle, how, 0, MAXDWORD, MAXDWORD, &whole)) {
    return 0;
  }
  if (::GetLastError() == ERROR_LOCK_VIOLATION) {
    errno = EWOULDBLOCK;
    return -1;
  }
  return fail_with_last_error();
}

ssize_t pread(int fd, void* data, std::size_t size, off_t offset) {
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return -1;
  }
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(static_cast<unsigned long long>(offset));
  at.OffsetHigh =
      static_cast<DWORD>(static_cast<unsigned long long>(offset) >> 32);
  DWORD got = 0;
  constexpr std::size_t kMost = std::size_t{1} << 30;
  if (!::ReadFile(handle, data, static_cast<DWORD>(size < kMost ? size : kMost),
                  &got, &at)) {
    return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : fail_with_last_error();
  }
  return static_cast<ssize_t>(got);
}

int link(const char* existing, const char* new_name) {
  if (::CreateHardLinkW(wide(new_name).c_str(), wide(existing).c_str(),
                        nullptr)) {
    return 0;
  }
  return fail_with_last_error();
}

char* realpath(const char* path, char* resolved) {
  const HANDLE handle = open_for_attributes(wide(path), true);
  if (handle == INVALID_HANDLE_VALUE) {
    fail_with_last_error();
    return nullptr;
  }
  std::wstring final;
  const bool got = final_path(handle, final);
  const DWORD error = ::GetLastError();
  ::CloseHandle(handle);
  if (!got) {
    errno = errno_of(error);
    return nullptr;
  }
  if (final.starts_with(L"\\\\?\\UNC\\")) {
    final.replace(0, 8, L"\\\\");
  } else if (final.starts_with(L"\\\\?\\")) {
    final.erase(0, 4);
  }
  std::string out = narrow(final);
  for (char& c : out) {
    if (c == '\\') {
      c = '/';
    }
  }
  if (resolved != nullptr) {
    std::strncpy(resolved, out.c_str(), MAX_PATH - 1);
    resolved[MAX_PATH - 1] = '\0';
    return resolved;
  }
  char* copy = static_cast<char*>(std::malloc(out.size() + 1));
  if (copy == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  std::memcpy(copy, out.c_str(), out.size() + 1);
  return copy;
}
