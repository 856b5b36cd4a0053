// os_error_text on Windows: the system's own description of the Windows
// error (FormatMessageW), its trailing full stop and line break dropped,
// then " (os error N)" with the Windows code. An errno from the C runtime
// is reported as the Windows error it stands for.
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "util/fd_io.hpp"

namespace vestigor_mcp {

namespace {

// The Windows error an errno value of the C runtime stands for; 0 when
// there is none.
DWORD windows_code_of(int errnum) {
  switch (errnum) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOSPC:
      return ERROR_DISK_FULL;
    case EPIPE:
      return ERROR_BROKEN_PIPE;
    case ENOTDIR:
      return ERROR_DIRECTORY;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EIO:
      return ERROR_IO_DEVICE;
    case EROFS:
      return ERROR_WRITE_PROTECT;
    case EFBIG:
      return ERROR_FILE_TOO_LARGE;
    case ENODEV:
    case EISDIR:
      return ERROR_BAD_FILE_TYPE;
    case EMFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    default:
      return 0;
  }
}

}  // namespace

std::string os_error_text(int errnum) {
  const DWORD code =
      errnum < 0 ? static_cast<DWORD>(-errnum) : windows_code_of(errnum);
  std::string out;
  wchar_t* text = nullptr;
  const DWORD size =
      code == 0
          ? 0
          : ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                 FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0,
                             reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (size > 0 && text != nullptr) {
    out = windows::narrow(std::wstring_view(text, size));
    ::LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' ||
                            out.back() == ' ' || out.back() == '.')) {
      out.pop_back();
    }
  }
  if (out.empty()) {
    out = code == 0 ? std::strerror(errnum) : "Unknown error";
  }
  out += " (os error ";
  out += code == 0 ? std::to_string(errnum) : std::to_string(code);
  out += ')';
  return out;
}

}  // namespace vestigor_mcp
