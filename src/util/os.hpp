// os.hpp: the operating system as the server uses it, one contract for
// every platform. os_posix.cpp serves any POSIX system, os_linux.cpp adds
// Linux's own calls (getdents64, renameat2, statfs), os_windows.cpp speaks
// Win32 and NT; os.cpp holds what is built on top, the same everywhere.
//
// The contract:
// - Names and paths are UTF-8 text, NUL-terminated. A name opened in a
//   Folder is one component, so once a folder is open nothing is opened by
//   a path longer than one name; Folder::by_path() takes a whole path
//   instead, of any length.
// - A Handle owns one open file or folder (a descriptor on POSIX, a HANDLE
//   on Windows) and closes it when it goes; a Folder borrows one.
// - Links are followed unless a call says otherwise. Opening never waits:
//   a FIFO or device where a file is expected is turned away at once.
// - Every failure is an OsError: the platform's code (errno, or a Windows
//   error), or "no progress" (a write that took no byte). A call that a
//   signal interrupts is made again, never reported. Only the tools' edge
//   turns an OsError into text (os_error_text).
// - Running out of memory throws std::bad_alloc; nothing else throws.
// - Io is the seam for faults: the calls on an open file that can fail part
//   way go through it, so a test double can fail the n-th write, interrupt
//   a call, shorten a read or fail a sync, on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace vestigor_mcp::os {

// ---- Errors ----

// What the callers tell apart, whatever the platform's code for it.
enum class Errc : unsigned char {
  kNotFound,      // ENOENT; ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND
  kExists,        // EEXIST; ERROR_ALREADY_EXISTS, ERROR_FILE_EXISTS
  kInterrupted,   // EINTR (only a double makes it on Windows)
  kTooManyFiles,  // EMFILE, ENFILE; ERROR_TOO_MANY_OPEN_FILES
  kNotRegular,    // opened a FIFO, device or folder where a file was wanted
};

class OsError {
 public:
  // The platform's own code: an errno value, or a Windows error.
  static OsError system(int code) { return OsError(code, false); }
  // The platform's code for `condition`.
  static OsError of(Errc condition);
  static OsError no_progress() { return OsError(0, true); }
  static OsError out_of_memory();

  bool is_no_progress() const { return no_progress_ != 0; }
  int code() const { return code_; }
  bool is(Errc condition) const;
  bool operator==(const OsError&) const = default;

 private:
  OsError(int code, bool no_progress)
      : code_(code), no_progress_(no_progress ? 1 : 0) {}
  int code_;
  // An int, not a bool: no padding. libc++ before 18 keeps the flag of a
  // std::expected in the tail padding of its value or error type when
  // there is some, and sets it before constructing them, so copying one
  // whole (a memcpy, as unoptimised code does) overwrites it: a failure
  // read back as a success, or the reverse. So the types a Result carries
  // leave no tail padding; kNoTailPadding checks those that had some.
  int no_progress_;
};

// For the static_asserts beside the types a std::expected carries (see
// OsError::no_progress_).
template <typename T>
inline constexpr bool kNoTailPadding =
    std::has_unique_object_representations_v<T>;
static_assert(kNoTailPadding<OsError>);

template <typename T>
using Result = std::expected<T, OsError>;

// The I/O error text: "<the system's description> (os error N)", or
// "failed to write whole buffer" for no progress. For the tools' edge.
std::string os_error_text(const OsError& error);
// The same for a bare platform code.
std::string os_error_text(int code);

// ---- Handles ----

#ifdef _WIN32
using Native = void*;  // a HANDLE; null when none
inline constexpr Native kNoNative = nullptr;
#else
using Native = int;  // a descriptor; -1 when none
inline constexpr Native kNoNative = -1;
#endif

class Handle {
 public:
  Handle() = default;
  explicit Handle(Native native) : native_(native) {}
  ~Handle() { close(); }
  Handle(Handle&& other) noexcept : native_(other.release()) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      close();
      native_ = other.release();
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  bool is_open() const { return native_ != kNoNative; }
  Native native() const { return native_; }
  Native release() { return std::exchange(native_, kNoNative); }
  void close();

 private:
  Native native_ = kNoNative;
};

// Where a name is looked up: in an open folder, or (by_path) as a path.
class Folder {
 public:
  Folder(const Handle& folder) : native_(folder.native()) {}  // NOLINT
  // An open folder held some other way.
  explicit Folder(Native folder) : native_(folder) {}
  static Folder by_path() { return Folder(); }
  bool is_path() const { return native_ == kNoNative; }
  Native native() const { return native_; }

 private:
  Folder() = default;
  Native native_ = kNoNative;
};

// ---- Status ----

enum class Kind : unsigned char { kRegular, kDirectory, kLink, kOther };

// Which file or folder: the same numbers on every path that leads to it,
// links and junctions included (device and inode; volume serial and file
// index).
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t index = 0;
  bool operator==(const FileId&) const = default;
};

struct Status {
  Kind kind = Kind::kOther;
  std::uint64_t size = 0;
  std::uint64_t links = 1;  // names it has; 0 once removed
  FileId id;
};

enum class Links : unsigned char { kFollow, kNoFollow };

Result<Status> status(const Handle& file);
Result<Status> status(Folder at, const char* name,
                      Links links = Links::kFollow);

// ---- Opening ----

// A regular file open for reading, and its size when opened.
struct RegularFile {
  Handle handle;
  std::uint64_t size = 0;
};

// Opens `name` for reading; a FIFO, device or folder is kNotRegular (its
// code EISDIR for a folder, ENODEV otherwise, on POSIX).
Result<RegularFile> open_regular(Folder at, const char* name);
// Opens the folder `name` for listing and for opening names in it.
Result<Handle> open_folder(Folder at, const char* name);

enum class Create : unsigned char {
  kNo,         // the file must exist
  kIfMissing,  // made when missing
  kNew,        // made, and kExists when the name is taken
};
// Opens `path` for appending: every write lands whole at the end; a file
// made has mode 0666 reduced by the umask; nothing is ever truncated.
Result<Handle> open_append(const char* path, Create create);

// ---- Folders ----

// What a listing says an entry is, links not followed.
enum class EntryType : unsigned char {
  kUnknown,  // a link, or not said: look it up
  kDirectory,
  kRegular,
  kOther,  // FIFO, socket, device
};

class EntrySink {
 public:
  virtual void take(std::string_view name, EntryType type) = 0;

 protected:
  ~EntrySink() = default;
};

// Lists open folders into a sink, reusing one buffer.
class Lister {
 public:
  // Gives every entry of `folder` ("." and ".." included or not) to
  // `sink`. A listing that fails part way ends there.
  Result<void> list(const Handle& folder, EntrySink& sink);

 private:
  std::vector<char> buffer_;
};

struct FolderInfo {
  FileId id;
  // On a pseudo file system (proc, sysfs, devtmpfs, cgroup...): its files
  // are no notes, and reading some of them never ends. A whole word, not
  // a bool: no tail padding (OsError::no_progress_).
  std::uint64_t pseudo = 0;
};
static_assert(kNoTailPadding<FolderInfo>);
// What the folder open as `folder` is. `parent` is the folder it was
// opened in (null for a root), `listed` what the parent's listing said of
// it, so a platform may take what it shares with its parent from there.
Result<FolderInfo> folder_info(const Handle& folder, const FolderInfo* parent,
                               EntryType listed);

// Whether the file `name` in `at` lies on a pseudo file system, as
// FolderInfo::pseudo says of a folder: a link may lead a note there
// (/proc/self/pagemap reads on for gigabytes). Asked only of a link that
// leaves its folder's device; false where it cannot be told.
bool on_pseudo_file_system(Folder at, const char* name);

// Makes the folder `path`, mode 0777 reduced by the umask; kExists when
// the name is taken, kNotFound when the folder above is missing.
Result<void> make_folder(const char* path);
// Makes the names made in or removed from the folder `path` durable; a
// file system that keeps no folder to sync is no error.
Result<void> sync_folder(const char* path);

// ---- Names ----

// Gives `existing` the name `name` as well; kExists when it is taken.
Result<void> link(const char* existing, const char* name);
// Renames `from` to `to` in one step unless `to` is taken (kExists); any
// other failure means the system or the file system cannot.
Result<void> rename_no_replace(const char* from, const char* to);
Result<void> remove(const char* path);
// The path of what `path` leads to, links resolved.
Result<std::string> real_path(const char* path);
// Text that no other process, nor this one a moment later, puts in a name.
std::string unique_tag();

// ---- I/O on open files ----

// One attempt at each call: a test double fails, interrupts or shortens
// them at will. The callers below make an interrupted call again.
class Io {
 public:
  // Writes some of `bytes` at the file's end (or position): the count.
  virtual Result<std::size_t> write(const Handle& file,
                                    std::string_view bytes) = 0;
  // Reads up to `size` bytes at `offset`: the count, 0 at the end.
  virtual Result<std::size_t> read_at(const Handle& file, char* to,
                                      std::size_t size,
                                      std::uint64_t offset) = 0;
  // Makes the data written and the size durable (not the times).
  virtual Result<void> sync_data(const Handle& file) = 0;

 protected:
  ~Io() = default;
};
// The system's own.
Io& system_io();

// Writes every byte, repeating partial writes; `written` counts the bytes
// that went out, failure or not.
Result<void> write_all(Io& io, const Handle& file, std::string_view bytes,
                       std::size_t& written);
Result<std::size_t> read_at(Io& io, const Handle& file, char* to,
                            std::size_t size, std::uint64_t offset);
// Reads `size` bytes at `offset`, repeating short reads: fewer only at the
// file's end.
Result<std::size_t> read_span(Io& io, const Handle& file, char* to,
                              std::size_t size, std::uint64_t offset);
Result<void> sync_data(Io& io, const Handle& file);

Result<void> truncate(const Handle& file, std::uint64_t size);
// Takes the exclusive advisory lock without waiting: false when another
// holds it; a failure when the file system has no locks.
Result<bool> try_lock(const Handle& file);
void unlock(const Handle& file);

// ---- The process ----

struct LocalStamp {
  std::string date;  // "%Y-%m-%d"
  std::string time;  // "%H:%M"
};
// Date and time of day where the user is (TZ when set and usable, else
// the system's zone), from one clock reading.
Result<LocalStamp> read_local_clock();

// Whether the process `pid` may still be running: false only when the
// system says that no process has that id (or no process can have it, as
// 0). The id in a name made with unique_tag tells whether the file's
// maker may still use it.
bool process_alive(std::uint32_t pid);

// The value of `name`; nullopt when it is unset, or (on Windows) when its
// UTF-16 is broken, so that no value ever stands for another one.
std::optional<std::string> environment_variable(const char* name);

}  // namespace vestigor_mcp::os
