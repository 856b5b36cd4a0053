// The Windows listing: the folder's own handle is asked for its entries
// (GetFileInformationByHandleEx, FileIdBothDirectoryInfo), names converted
// from UTF-16. A link or junction is a reparse point, which the walk looks
// up (following it); a dangling one then fails and is skipped. A folder's
// identity is its volume serial number and file index.
#include <windows.h>

#include <cstddef>
#include <cstring>

#include "search/walk_directory.hpp"

namespace vestigor_mcp {

namespace {

constexpr std::size_t kListingBytes = std::size_t{64} * 1024;

EntryType entry_type(DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return EntryType::kUnknown;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return EntryType::kDirectory;
  }
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
    return EntryType::kOther;
  }
  return EntryType::kRegular;
}

HANDLE handle_of(int fd) {
  return reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

}  // namespace

bool folder_id(int fd, FolderId& id) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle_of(fd), &info)) {
    return false;
  }
  id = {info.dwVolumeSerialNumber,
        (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) |
            info.nFileIndexLow};
  return true;
}

bool DirectoryReader::list(int fd, Listing& listing) {
  if (!buffer_.reserve(kListingBytes)) {
    return false;
  }
  const HANDLE handle = handle_of(fd);
  FILE_INFO_BY_HANDLE_CLASS request = FileIdBothDirectoryRestartInfo;
  for (;;) {
    if (!::GetFileInformationByHandleEx(handle, request, buffer_.data(),
                                        static_cast<DWORD>(kListingBytes))) {
      return true;  // ERROR_NO_MORE_FILES, or a listing that failed
    }
    request = FileIdBothDirectoryInfo;
    std::size_t offset = 0;
    for (;;) {
      FILE_ID_BOTH_DIR_INFO entry;
      std::memcpy(&entry, buffer_.data() + offset, sizeof entry);
      const auto* name = reinterpret_cast<const wchar_t*>(
          buffer_.data() + offset + offsetof(FILE_ID_BOTH_DIR_INFO, FileName));
      const std::string utf8 = windows::narrow(
          std::wstring_view(name, entry.FileNameLength / sizeof(wchar_t)));
      if (!listing.add(utf8, entry_type(entry.FileAttributes))) {
        return false;
      }
      if (entry.NextEntryOffset == 0) {
        break;
      }
      offset += entry.NextEntryOffset;
    }
  }
}

}  // namespace vestigor_mcp
