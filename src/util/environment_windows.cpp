// The variable's UTF-16 value, read from the process's environment block
// (not the C runtime's copy, which a lossy code-page conversion may have
// made), converted strictly: an unpaired surrogate gives no value.
#include <windows.h>

#include "util/environment.hpp"

namespace vestigor_mcp {

std::optional<std::string> environment_variable(const char* name) {
  const std::wstring wide_name = windows::wide(name);
  std::wstring value(256, L'\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD size = ::GetEnvironmentVariableW(
        wide_name.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (size == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        return std::nullopt;
      }
      return std::string();  // set, and empty
    }
    if (size < value.size()) {
      value.resize(size);
      const int bytes = ::WideCharToMultiByte(
          CP_UTF8, WC_ERR_INVALID_CHARS, value.data(), static_cast<int>(size),
          nullptr, 0, nullptr, nullptr);
      if (bytes <= 0) {
        return std::nullopt;  // not text
      }
      return windows::narrow(value);
    }
    value.resize(size);  // the size needed, with its terminator
  }
  return std::nullopt;
}

}  // namespace vestigor_mcp
