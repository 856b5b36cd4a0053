// The OS boundary on Windows, in Win32 and, where the search's path is hot,
// NT: names are UTF-8 at the contract and UTF-16 here; failures carry the
// Windows error code (GetLastError, or an NTSTATUS as the system maps it).
//
// The search opens every note and subfolder relative to its folder's
// handle (NtCreateFile with RootDirectory), never by the folder's path,
// reads with NtReadFile at an offset (synchronous handles: no completion
// to wait for), and gives a plain subfolder its file index and its
// parent's volume, asking the volume only for a root or a link. The NT
// calls come from ntdll.dll by GetProcAddress at first use, so the program
// imports only KERNEL32 and msvcrt.
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "util/os.hpp"

namespace vestigor_mcp::os {

namespace {

// ---- Text ----

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

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
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

// ---- NT ----

using NtCreateFileCall = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK,
                                          POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                          PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                          ULONG, PVOID, ULONG);
using NtReadFileCall = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID,
                                        PIO_STATUS_BLOCK, PVOID, ULONG,
                                        PLARGE_INTEGER, PULONG);
using NtQueryInformationFileCall = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK,
                                                    PVOID, ULONG,
                                                    FILE_INFORMATION_CLASS);
using RtlNtStatusToDosErrorCall = ULONG(NTAPI*)(NTSTATUS);

// ntdll's calls, found once; ntdll.dll is in every process.
struct Ntdll {
  NtCreateFileCall create_file = nullptr;
  NtReadFileCall read_file = nullptr;
  NtQueryInformationFileCall query_information_file = nullptr;
  RtlNtStatusToDosErrorCall status_to_error = nullptr;
};

template <typename Call>
void find_call(HMODULE module, const char* name, Call& call) {
  // A FARPROC is a generic function pointer: the cast names its type.
  call = reinterpret_cast<Call>(
      reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

const Ntdll& ntdll() {
  static const Ntdll calls = [] {
    Ntdll found;
    const HMODULE module = ::GetModuleHandleW(L"ntdll.dll");
    find_call(module, "NtCreateFile", found.create_file);
    find_call(module, "NtReadFile", found.read_file);
    find_call(module, "NtQueryInformationFile", found.query_information_file);
    find_call(module, "RtlNtStatusToDosError", found.status_to_error);
    return found;
  }();
  return calls;
}

constexpr NTSTATUS kStatusEndOfFile = static_cast<NTSTATUS>(0xC0000011L);
constexpr NTSTATUS kStatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BAL);

OsError nt_error(NTSTATUS status) {
  if (status == kStatusFileIsADirectory) {
    return OsError::of(Errc::kNotRegular);
  }
  return OsError::system(static_cast<int>(ntdll().status_to_error(status)));
}

// ---- Errors ----

OsError last_error() {
  return OsError::system(static_cast<int>(::GetLastError()));
}

Result<void> done_or_last_error(BOOL done) {
  if (!done) {
    return std::unexpected(last_error());
  }
  return {};
}

constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What CreateFileW asks for with GENERIC_READ: the data, the attributes,
// and a handle that can be waited on (synchronous I/O).
constexpr ACCESS_MASK kReadAccess =
    GENERIC_READ | SYNCHRONIZE | FILE_READ_ATTRIBUTES;

// Opens `name` in the folder `at` as NtCreateFile does: one name, looked
// up in the folder's own handle. `options` adds to synchronous I/O.
Result<Handle> open_in(Folder at, const char* name, ACCESS_MASK access,
                       ULONG options) {
  std::wstring wide_name = wide(name);
  if (wide_name.size() * sizeof(wchar_t) > 0xFFFF) {
    return std::unexpected(OsError::system(ERROR_FILENAME_EXCED_RANGE));
  }
  UNICODE_STRING object_name;
  object_name.Buffer = wide_name.data();
  object_name.Length = static_cast<USHORT>(wide_name.size() * sizeof(wchar_t));
  object_name.MaximumLength = object_name.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &object_name, OBJ_CASE_INSENSITIVE,
                             at.native(), nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const NTSTATUS status = ntdll().create_file(
      &handle, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
      kShareAll, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | options, nullptr, 0);
  if (!NT_SUCCESS(status)) {
    return std::unexpected(nt_error(status));
  }
  return Handle(handle);
}

// Opens the path `path` by CreateFileW.
Result<Handle> open_path(const char* path, DWORD access, DWORD disposition,
                         DWORD flags) {
  const HANDLE handle = ::CreateFileW(wide(path).c_str(), access, kShareAll,
                                      nullptr, disposition, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return std::unexpected(last_error());
  }
  return Handle(handle);
}

// Opens `name` in `at` (or the path `name`) for its attributes only.
Result<Handle> open_for_attributes(Folder at, const char* name, Links links) {
  const bool follow = links == Links::kFollow;
  if (at.is_path()) {
    return open_path(name, FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS |
                         (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT));
  }
  return open_in(
      at, name, FILE_READ_ATTRIBUTES | SYNCHRONIZE,
      FILE_OPEN_FOR_BACKUP_INTENT | (follow ? 0 : FILE_OPEN_REPARSE_POINT));
}

std::uint64_t two_words(DWORD high, DWORD low) {
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

class SystemIo final : public Io {
 public:
  Result<std::size_t> write(const Handle& file,
                            std::string_view bytes) override {
    constexpr std::size_t kMost = std::size_t{1} << 30;
    DWORD wrote = 0;
    if (!::WriteFile(file.native(), bytes.data(),
                     static_cast<DWORD>(std::min(bytes.size(), kMost)), &wrote,
                     nullptr)) {
      return std::unexpected(last_error());
    }
    return wrote;
  }

  Result<std::size_t> read_at(const Handle& file, char* to, std::size_t size,
                              std::uint64_t offset) override {
    constexpr std::size_t kMost = std::size_t{1} << 30;
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    const NTSTATUS status = ntdll().read_file(
        file.native(), nullptr, nullptr, nullptr, &io, to,
        static_cast<ULONG>(std::min(size, kMost)), &at, nullptr);
    if (status == kStatusEndOfFile) {
      return 0;
    }
    if (!NT_SUCCESS(status)) {
      return std::unexpected(nt_error(status));
    }
    return static_cast<std::size_t>(io.Information);
  }

  Result<void> sync_data(const Handle& file) override {
    if (::GetFileType(file.native()) != FILE_TYPE_DISK) {
      return {};  // a device or pipe keeps nothing to flush
    }
    if (::FlushFileBuffers(file.native())) {
      return {};
    }
    const DWORD error = ::GetLastError();
    // Nothing this handle can flush (a folder, which Windows flushes only
    // when opened for writing).
    if (error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_HANDLE ||
        error == ERROR_INVALID_FUNCTION) {
      return {};
    }
    return std::unexpected(OsError::system(static_cast<int>(error)));
  }
};

}  // namespace

// ---- Errors ----

OsError OsError::of(Errc condition) {
  switch (condition) {
    case Errc::kNotFound:
      return system(ERROR_FILE_NOT_FOUND);
    case Errc::kExists:
      return system(ERROR_ALREADY_EXISTS);
    case Errc::kInterrupted:
      return system(ERROR_OPERATION_ABORTED);
    case Errc::kTooManyFiles:
      return system(ERROR_TOO_MANY_OPEN_FILES);
    case Errc::kNotRegular:
      return system(ERROR_BAD_FILE_TYPE);
  }
  return system(ERROR_INVALID_PARAMETER);
}

OsError OsError::out_of_memory() { return system(ERROR_NOT_ENOUGH_MEMORY); }

bool OsError::is(Errc condition) const {
  if (no_progress_) {
    return false;
  }
  const auto code = static_cast<DWORD>(code_);
  switch (condition) {
    case Errc::kNotFound:
      return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
             code == ERROR_INVALID_NAME;
    case Errc::kExists:
      return code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS;
    case Errc::kInterrupted:
      return code == ERROR_OPERATION_ABORTED;
    case Errc::kTooManyFiles:
      return code == ERROR_TOO_MANY_OPEN_FILES;
    case Errc::kNotRegular:
      return code == ERROR_BAD_FILE_TYPE;
  }
  return false;
}

// The system's own description (FormatMessageW), its trailing full stop
// and line break dropped, then " (os error N)" with the Windows code.
std::string os_error_text(int code) {
  std::string out;
  wchar_t* text = nullptr;
  const DWORD size = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text),
      0, nullptr);
  if (size > 0 && text != nullptr) {
    out = narrow(std::wstring_view(text, size));
    ::LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' ||
                            out.back() == ' ' || out.back() == '.')) {
      out.pop_back();
    }
  }
  if (out.empty()) {
    out = "Unknown error";
  }
  out += " (os error ";
  out += std::to_string(static_cast<DWORD>(code));
  out += ')';
  return out;
}

// ---- Handles and status ----

void Handle::close() {
  if (native_ != kNoNative) {
    ::CloseHandle(release());
  }
}

Result<Status> status(const Handle& file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.native(), &info)) {
    return std::unexpected(last_error());
  }
  Status out;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    out.kind = Kind::kDirectory;
  } else {
    out.kind = ::GetFileType(file.native()) == FILE_TYPE_DISK ? Kind::kRegular
                                                              : Kind::kOther;
  }
  out.size = two_words(info.nFileSizeHigh, info.nFileSizeLow);
  out.links = info.nNumberOfLinks;
  out.id = {info.dwVolumeSerialNumber,
            two_words(info.nFileIndexHigh, info.nFileIndexLow)};
  return out;
}

Result<Status> status(Folder at, const char* name, Links links) {
  const Result<Handle> file = open_for_attributes(at, name, links);
  if (!file) {
    return std::unexpected(file.error());
  }
  Result<Status> out = status(*file);
  if (out && links == Links::kNoFollow) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (::GetFileInformationByHandleEx(file->native(), FileAttributeTagInfo,
                                       &tag, sizeof tag) &&
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      out->kind = Kind::kLink;
    }
  }
  return out;
}

// ---- Opening ----

Result<RegularFile> open_regular(Folder at, const char* name) {
  Result<Handle> file =
      at.is_path()
          ? open_path(name, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL)
          : open_in(at, name, kReadAccess, FILE_NON_DIRECTORY_FILE);
  if (!file) {
    return std::unexpected(file.error());
  }
  FILE_STANDARD_INFO standard{};
  if (!::GetFileInformationByHandleEx(file->native(), FileStandardInfo,
                                      &standard, sizeof standard)) {
    return std::unexpected(last_error());
  }
  if (standard.Directory || ::GetFileType(file->native()) != FILE_TYPE_DISK) {
    return std::unexpected(OsError::of(Errc::kNotRegular));
  }
  return RegularFile{std::move(*file),
                     static_cast<std::uint64_t>(standard.EndOfFile.QuadPart)};
}

Result<Handle> open_folder(Folder at, const char* name) {
  if (!at.is_path()) {
    return open_in(at, name, kReadAccess,
                   FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT);
  }
  Result<Handle> folder =
      open_path(name, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (!folder) {
    return folder;
  }
  FILE_BASIC_INFO basic{};
  if (!::GetFileInformationByHandleEx(folder->native(), FileBasicInfo, &basic,
                                      sizeof basic)) {
    return std::unexpected(last_error());
  }
  if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return std::unexpected(OsError::system(ERROR_DIRECTORY));
  }
  return folder;
}

Result<Handle> open_append(const char* path, Create create) {
  DWORD disposition = OPEN_EXISTING;
  if (create == Create::kIfMissing) {
    disposition = OPEN_ALWAYS;
  } else if (create == Create::kNew) {
    disposition = CREATE_NEW;
  }
  // Append-only: the system puts every write at the end, whole. Reading
  // the data and the attributes is what LockFileEx and the file's status
  // need (Windows refuses a lock on a handle that may neither read nor
  // overwrite); nothing can be written but at the end.
  return open_path(
      path,
      FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
      disposition, FILE_ATTRIBUTE_NORMAL);
}

// ---- Folders ----

// The folder's entries by its own handle (FileIdBothDirectoryInfo). A link
// or junction is a reparse point, which the walk looks up (following it).
Result<void> Lister::list(const Handle& folder, EntrySink& sink) {
  constexpr std::size_t kListingBytes = std::size_t{64} * 1024;
  buffer_.resize(kListingBytes);
  FILE_INFO_BY_HANDLE_CLASS request = FileIdBothDirectoryRestartInfo;
  for (;;) {
    if (!::GetFileInformationByHandleEx(folder.native(), request,
                                        buffer_.data(),
                                        static_cast<DWORD>(kListingBytes))) {
      if (::GetLastError() == ERROR_NO_MORE_FILES) {
        return {};
      }
      return std::unexpected(last_error());
    }
    request = FileIdBothDirectoryInfo;
    std::size_t offset = 0;
    for (;;) {
      FILE_ID_BOTH_DIR_INFO entry;
      std::memcpy(&entry, buffer_.data() + offset, sizeof entry);
      const auto* name = reinterpret_cast<const wchar_t*>(
          buffer_.data() + offset + offsetof(FILE_ID_BOTH_DIR_INFO, FileName));
      EntryType type = EntryType::kRegular;
      if ((entry.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        type = EntryType::kUnknown;
      } else if ((entry.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        type = EntryType::kDirectory;
      } else if ((entry.FileAttributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        type = EntryType::kOther;
      }
      sink.take(narrow(std::wstring_view(
                    name, entry.FileNameLength / sizeof(wchar_t))),
                type);
      if (entry.NextEntryOffset == 0) {
        break;
      }
      offset += entry.NextEntryOffset;
    }
  }
}

// A plain subfolder lies on its parent's volume: its file index alone is
// asked (FileInternalInformation, no trip to the volume). A root, or a
// folder reached through a link or junction (which may lead to another
// volume), is asked for its volume serial too.
Result<FolderInfo> folder_info(const Handle& folder, const FolderInfo* parent,
                               EntryType listed) {
  if (parent != nullptr && listed == EntryType::kDirectory) {
    FILE_INTERNAL_INFORMATION internal{};
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = ntdll().query_information_file(
        folder.native(), &io, &internal, sizeof internal,
        static_cast<FILE_INFORMATION_CLASS>(6));  // FileInternalInformation
    if (!NT_SUCCESS(status)) {
      return std::unexpected(nt_error(status));
    }
    return FolderInfo{{parent->id.device, static_cast<std::uint64_t>(
                                              internal.IndexNumber.QuadPart)},
                      false};
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(folder.native(), &info)) {
    return std::unexpected(last_error());
  }
  return FolderInfo{{info.dwVolumeSerialNumber,
                     two_words(info.nFileIndexHigh, info.nFileIndexLow)},
                    false};
}

Result<void> make_folder(const char* path) {
  return done_or_last_error(::CreateDirectoryW(wide(path).c_str(), nullptr));
}

// Windows flushes a folder's names with the folder; a folder handle opened
// for reading cannot be flushed, and needs not be.
Result<void> sync_folder(const char* path) {
  const Result<Handle> folder =
      open_path(path, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (!folder) {
    return std::unexpected(folder.error());
  }
  return system_io().sync_data(*folder);
}

// ---- Names ----

Result<void> link(const char* existing, const char* name) {
  return done_or_last_error(
      ::CreateHardLinkW(wide(name).c_str(), wide(existing).c_str(), nullptr));
}

// MoveFileExW without MOVEFILE_REPLACE_EXISTING renames in one step and
// refuses a taken name.
Result<void> rename_no_replace(const char* from, const char* to) {
  return done_or_last_error(
      ::MoveFileExW(wide(from).c_str(), wide(to).c_str(), 0));
}

Result<void> remove(const char* path) {
  return done_or_last_error(::DeleteFileW(wide(path).c_str()));
}

// The final path of what `path` leads to, with "/" as separator and
// without the "\\?\" (or "\\?\UNC\") that Windows puts in front.
Result<std::string> real_path(const char* path) {
  const Result<Handle> file =
      open_for_attributes(Folder::by_path(), path, Links::kFollow);
  if (!file) {
    return std::unexpected(file.error());
  }
  // The size without the terminator when it fits, else the size needed.
  std::wstring final(MAX_PATH, L'\0');
  for (int attempt = 0;; ++attempt) {
    const DWORD size = ::GetFinalPathNameByHandleW(
        file->native(), final.data(), static_cast<DWORD>(final.size()),
        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (size == 0) {
      return std::unexpected(last_error());
    }
    const bool fits = size < final.size();
    final.resize(size);
    if (fits) {
      break;
    }
    if (attempt == 2) {
      return std::unexpected(OsError::system(ERROR_INSUFFICIENT_BUFFER));
    }
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
  return out;
}

std::string unique_tag() {
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  return std::to_string(::GetCurrentProcessId()) + "." +
         std::to_string(now.QuadPart % 1000000000);
}

// ---- I/O ----

Io& system_io() {
  static SystemIo io;  // stateless
  return io;
}

// The append handle may not overwrite: a second handle to the same file,
// for writing, cuts it.
Result<void> truncate(const Handle& file, std::uint64_t size) {
  const HANDLE reopened =
      ::ReOpenFile(file.native(), GENERIC_WRITE, kShareAll, 0);
  if (reopened == INVALID_HANDLE_VALUE) {
    return std::unexpected(last_error());
  }
  const Handle writer(reopened);
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  return done_or_last_error(::SetFileInformationByHandle(
      writer.native(), FileEndOfFileInfo, &end, sizeof end));
}

// The whole file's byte range, exclusively (LockFileEx).
Result<bool> try_lock(const Handle& file) {
  OVERLAPPED whole{};
  if (::LockFileEx(file.native(),
                   LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                   MAXDWORD, MAXDWORD, &whole)) {
    return true;
  }
  if (::GetLastError() == ERROR_LOCK_VIOLATION) {
    return false;
  }
  return std::unexpected(last_error());
}

void unlock(const Handle& file) {
  OVERLAPPED whole{};
  (void)::UnlockFileEx(file.native(), 0, MAXDWORD, MAXDWORD, &whole);
}

// ---- The process ----

// The system's time zone (GetLocalTime). TZ is not read: the C runtime
// understands it only in POSIX form ("CET-1CEST") and silently misreads a
// zone name ("Europe/Berlin" as a zone "Eur" at UTC), and Windows programs
// follow the system's zone.
Result<LocalStamp> read_local_clock() {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  char date[32];
  char time[16];
  std::snprintf(date, sizeof date, "%04d-%02d-%02d", int{now.wYear},
                int{now.wMonth}, int{now.wDay});
  std::snprintf(time, sizeof time, "%02d:%02d", int{now.wHour},
                int{now.wMinute});
  return LocalStamp{date, time};
}

// The variable's UTF-16 value, read from the process's environment block
// (not the C runtime's copy, which a lossy code-page conversion may have
// made), converted strictly: an unpaired surrogate gives no value.
std::optional<std::string> environment_variable(const char* name) {
  const std::wstring wide_name = wide(name);
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
      return narrow(value);
    }
    value.resize(size);  // the size needed, with its terminator
  }
  return std::nullopt;
}

// Windows keeps no pseudo file systems of files that read on for ever.
bool on_pseudo_file_system(Folder /*at*/, const char* /*name*/) {
  return false;
}

bool process_alive(std::uint32_t pid) {
  if (pid == 0) {
    return false;  // the idle process makes no files
  }
  const HANDLE process =
      ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) {
    // ERROR_INVALID_PARAMETER: no process has that id; anything else
    // (ERROR_ACCESS_DENIED: another user's) means one does.
    return ::GetLastError() != ERROR_INVALID_PARAMETER;
  }
  DWORD code = 0;
  const bool running =
      ::GetExitCodeProcess(process, &code) == 0 || code == STILL_ACTIVE;
  ::CloseHandle(process);
  return running;
}

}  // namespace vestigor_mcp::os
