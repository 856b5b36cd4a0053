// The OS boundary on any POSIX system. In a Linux build (VESTIGOR_OS_LINUX)
// os_linux.cpp gives the listing, the folder information and the
// no-replace rename with Linux's own calls instead (all but the listing in
// the portable build, VESTIGOR_PORTABLE_WALK).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>

#include "util/os.hpp"
#include "util/path.hpp"

namespace vestigor_mcp::os {

namespace {

// Makes `call` again while it fails with EINTR; errno as the call left it.
template <typename Call>
auto retrying(Call&& call) {
  for (;;) {
    const auto result = call();
    if (!(result < 0 && errno == EINTR)) {
      return result;
    }
  }
}

OsError last_error() { return OsError::system(errno); }

Result<void> done_or_errno(int result) {
  if (result != 0) {
    return std::unexpected(last_error());
  }
  return {};
}

int at_of(Folder at) { return at.is_path() ? AT_FDCWD : at.native(); }

Kind kind_of(mode_t mode) {
  if (S_ISREG(mode)) {
    return Kind::kRegular;
  }
  if (S_ISDIR(mode)) {
    return Kind::kDirectory;
  }
  return S_ISLNK(mode) ? Kind::kLink : Kind::kOther;
}

Status status_of(const struct stat& st) {
  return {kind_of(st.st_mode),
          static_cast<std::uint64_t>(st.st_size),
          static_cast<std::uint64_t>(st.st_nlink),
          {static_cast<std::uint64_t>(st.st_dev),
           static_cast<std::uint64_t>(st.st_ino)}};
}

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;

int open_folder_fd(int at, const char* name) {
  return retrying([&] { return ::openat(at, name, kFolderFlags); });
}

// A path longer than the system takes in one call, one component at a
// time.
int open_folder_by_parts(const char* path) {
  int fd = path[0] == '/' ? open_folder_fd(AT_FDCWD, "/") : AT_FDCWD;
  for (const std::string_view part : split_path(path)) {
    if (fd == -1) {
      break;
    }
    const std::string component(part);
    const int next = open_folder_fd(fd, component.c_str());
    const int error = errno;
    if (fd != AT_FDCWD) {
      ::close(fd);
    }
    errno = error;
    fd = next;
  }
  if (fd == AT_FDCWD) {
    errno = ENOENT;
    return -1;
  }
  return fd;
}

class SystemIo final : public Io {
 public:
  Result<std::size_t> write(const Handle& file,
                            std::string_view bytes) override {
    const ssize_t n = ::write(file.native(), bytes.data(), bytes.size());
    if (n < 0) {
      return std::unexpected(last_error());
    }
    return static_cast<std::size_t>(n);
  }

  Result<std::size_t> read_at(const Handle& file, char* to, std::size_t size,
                              std::uint64_t offset) override {
    const ssize_t n =
        ::pread(file.native(), to, size, static_cast<off_t>(offset));
    if (n < 0) {
      return std::unexpected(last_error());
    }
    return static_cast<std::size_t>(n);
  }

  Result<void> sync_data(const Handle& file) override {
    const int fd = file.native();
#ifdef __APPLE__
    // macOS's fsync leaves the bytes in the drive's cache; F_FULLFSYNC
    // asks the drive to write them. File systems without it get fsync.
    int result = ::fcntl(fd, F_FULLFSYNC);
    if (result != 0 && (errno == ENOTSUP || errno == ENOTTY)) {
      result = ::fsync(fd);
    }
#else
    const int result = ::fdatasync(fd);
#endif
    // EINVAL: a device, FIFO or socket, which keeps nothing to sync; what
    // was written has gone wherever it goes.
    if (result != 0 && errno != EINVAL) {
      return std::unexpected(last_error());
    }
    return {};
  }
};

// Whether the C library would hang or read nonsense loading the zone for
// `tz` (TZ's value, or null when unset): a FIFO, device or folder where it
// looks for the zone file. glibc and musl take a leading ':' away, look in
// TZDIR or /usr/share/zoneinfo for a relative name, and read
// /etc/localtime without TZ. (A name that is not there is a POSIX TZ rule,
// or unknown: the library falls back on its own.)
bool zone_file_unusable(const char* tz) {
  char path[4096];
  if (tz == nullptr) {
    tz = "/etc/localtime";
  } else if (*tz == ':') {
    ++tz;
  }
  if (*tz != '/') {
    const char* dir = std::getenv("TZDIR");
    const int n = std::snprintf(
        path, sizeof path, "%s/%s",
        dir != nullptr && *dir != '\0' ? dir : "/usr/share/zoneinfo", tz);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof path) {
      return false;  // no such file: the library falls back
    }
    tz = path;
  }
  struct stat st {};
  return ::stat(tz, &st) == 0 && !S_ISREG(st.st_mode);
}

}  // namespace

// ---- Errors ----

OsError OsError::of(Errc condition) {
  switch (condition) {
    case Errc::kNotFound:
      return system(ENOENT);
    case Errc::kExists:
      return system(EEXIST);
    case Errc::kInterrupted:
      return system(EINTR);
    case Errc::kTooManyFiles:
      return system(EMFILE);
    case Errc::kNotRegular:
      return system(ENODEV);
  }
  return system(EINVAL);
}

OsError OsError::out_of_memory() { return system(ENOMEM); }

bool OsError::is(Errc condition) const {
  if (no_progress_) {
    return false;
  }
  switch (condition) {
    case Errc::kNotFound:
      return code_ == ENOENT;
    case Errc::kExists:
      return code_ == EEXIST;
    case Errc::kInterrupted:
      return code_ == EINTR;
    case Errc::kTooManyFiles:
      return code_ == EMFILE || code_ == ENFILE;
    case Errc::kNotRegular:
      return code_ == ENODEV || code_ == EISDIR;
  }
  return false;
}

namespace {

// GNU's strerror_r returns the text (maybe a static one, leaving the
// buffer alone); the POSIX one (macOS, the BSDs, musl) fills the buffer
// and returns 0. Overloads on the return type take whichever it is.
[[maybe_unused]] const char* strerror_text(const char* returned,
                                           const char* /*buffer*/) {
  return returned;
}

[[maybe_unused]] const char* strerror_text(int returned, const char* buffer) {
  return returned == 0 ? buffer : "Unknown error";
}

}  // namespace

std::string os_error_text(int code) {
  char buf[256] = {};
  std::string out = strerror_text(strerror_r(code, buf, sizeof buf), buf);
  out += " (os error ";
  out += std::to_string(code);
  out += ')';
  return out;
}

// ---- Handles and status ----

void Handle::close() {
  if (native_ >= 0) {
    ::close(release());  // after a failure the descriptor is gone anyway
  }
}

Result<Status> status(const Handle& file) {
  struct stat st {};
  if (::fstat(file.native(), &st) != 0) {
    return std::unexpected(last_error());
  }
  return status_of(st);
}

Result<Status> status(Folder at, const char* name, Links links) {
  struct stat st {};
  if (::fstatat(at_of(at), name, &st,
                links == Links::kFollow ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
    return std::unexpected(last_error());
  }
  return status_of(st);
}

// ---- Opening ----

Result<RegularFile> open_regular(Folder at, const char* name) {
  // O_NONBLOCK: should the name lead to a FIFO, opening it must not wait
  // for a writer; fstat then turns it away.
  Handle file(retrying([&] {
    return ::openat(at_of(at), name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  }));
  if (!file.is_open()) {
    return std::unexpected(last_error());
  }
  struct stat st {};
  if (::fstat(file.native(), &st) != 0) {
    return std::unexpected(last_error());
  }
  if (!S_ISREG(st.st_mode)) {
    return std::unexpected(
        OsError::system(S_ISDIR(st.st_mode) ? EISDIR : ENODEV));
  }
  return RegularFile{std::move(file), static_cast<std::uint64_t>(st.st_size)};
}

Result<Handle> open_folder(Folder at, const char* name) {
  int fd = open_folder_fd(at_of(at), name);
  if (fd < 0 && errno == ENAMETOOLONG && at.is_path() && name[0] != '\0') {
    fd = open_folder_by_parts(name);
  }
  if (fd < 0) {
    return std::unexpected(last_error());
  }
  return Handle(fd);
}

Result<Handle> open_append(const char* path, Create create) {
  // O_NONBLOCK changes nothing for a regular file, but a FIFO in the
  // file's place must fail at once instead of waiting for a reader.
  int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK;
  if (create != Create::kNo) {
    flags |= O_CREAT;
  }
  if (create == Create::kNew) {
    flags |= O_EXCL;
  }
  const int fd =
      retrying([&] { return ::openat(AT_FDCWD, path, flags, 0666); });
  if (fd < 0) {
    return std::unexpected(last_error());
  }
  return Handle(fd);
}

// ---- Folders ----

Result<void> make_folder(const char* path) {
  return done_or_errno(::mkdir(path, 0777));
}

Result<void> sync_folder(const char* path) {
  const Handle folder(retrying([&] {
    return ::openat(AT_FDCWD, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }));
  if (!folder.is_open()) {
    return std::unexpected(last_error());
  }
  // EINVAL: the file system keeps no folder to sync (some network and
  // pseudo file systems); there is nothing more that could be done.
  if (retrying([&] { return ::fsync(folder.native()); }) != 0 &&
      errno != EINVAL) {
    return std::unexpected(last_error());
  }
  return {};
}

#if !defined(VESTIGOR_OS_LINUX) || defined(VESTIGOR_PORTABLE_WALK)
// The listing with fdopendir and readdir. d_type where the system has it;
// elsewhere every entry is looked up.
Result<void> Lister::list(const Handle& folder, EntrySink& sink) {
  // closedir closes the descriptor it was given; the caller keeps its own.
  const int copy = ::dup(folder.native());
  if (copy < 0) {
    return std::unexpected(last_error());
  }
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    const OsError error = last_error();
    ::close(copy);
    return std::unexpected(error);
  }
  while (const dirent* entry = ::readdir(dir)) {
#if defined(DT_UNKNOWN) && defined(DT_DIR) && defined(DT_REG) && defined(DT_LNK)
    EntryType type = EntryType::kOther;
    switch (entry->d_type) {
      case DT_DIR:
        type = EntryType::kDirectory;
        break;
      case DT_REG:
        type = EntryType::kRegular;
        break;
      case DT_LNK:
      case DT_UNKNOWN:
        type = EntryType::kUnknown;
        break;
      default:
        break;
    }
#else
    const EntryType type = EntryType::kUnknown;
#endif
    sink.take(entry->d_name, type);
  }
  ::closedir(dir);
  return {};
}
#endif

#ifndef VESTIGOR_OS_LINUX
Result<FolderInfo> folder_info(const Handle& folder,
                               const FolderInfo* /*parent*/,
                               EntryType /*listed*/) {
  const auto st = status(folder);
  if (!st) {
    return std::unexpected(st.error());
  }
  return FolderInfo{st->id, false};
}

bool on_pseudo_file_system(Folder /*at*/, const char* /*name*/) {
  return false;  // no portable way to tell
}

// POSIX has no rename that refuses a taken name.
Result<void> rename_no_replace(const char* /*from*/, const char* /*to*/) {
  return std::unexpected(OsError::system(ENOSYS));
}
#endif

// ---- Names ----

Result<void> link(const char* existing, const char* name) {
  return done_or_errno(::link(existing, name));
}

Result<void> remove(const char* path) { return done_or_errno(::unlink(path)); }

Result<std::string> real_path(const char* path) {
  char* resolved = ::realpath(path, nullptr);
  if (resolved == nullptr) {
    return std::unexpected(last_error());
  }
  std::string out(resolved);
  std::free(resolved);
  return out;
}

std::string unique_tag() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  char tag[48];
  const int n =
      std::snprintf(tag, sizeof tag, "%ld.%ld", static_cast<long>(::getpid()),
                    static_cast<long>(now.tv_nsec));
  return std::string(tag, static_cast<std::size_t>(n));
}

// ---- I/O ----

Io& system_io() {
  static SystemIo io;  // stateless
  return io;
}

Result<void> truncate(const Handle& file, std::uint64_t size) {
  return done_or_errno(retrying(
      [&] { return ::ftruncate(file.native(), static_cast<off_t>(size)); }));
}

Result<bool> try_lock(const Handle& file) {
  if (retrying([&] { return ::flock(file.native(), LOCK_EX | LOCK_NB); }) ==
      0) {
    return true;
  }
  if (errno == EWOULDBLOCK) {
    return false;
  }
  return std::unexpected(last_error());
}

void unlock(const Handle& file) {
  (void)retrying([&] { return ::flock(file.native(), LOCK_UN | LOCK_NB); });
}

// ---- The process ----

Result<LocalStamp> read_local_clock() {
  // An empty TZ means the system's zone, as an unset one does: hosts pass
  // optional settings left blank as empty variables, and the C library
  // would read "" as UTC.
  if (const char* tz = std::getenv("TZ"); tz != nullptr && *tz == '\0') {
    (void)::unsetenv("TZ");
  }
  if (zone_file_unusable(std::getenv("TZ"))) {
    // A zone file that is a FIFO would hang the C library's loading of it
    // (it opens it blocking, and every time function loads the zone
    // first), and a device would feed it without end: such a zone counts
    // as UTC, the zone the library takes for one it cannot read, worked
    // out here without it.
    using namespace std::chrono;
    const auto now = floor<minutes>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date(day);
    const hh_mm_ss<minutes> time(now - day);
    char text[48];
    const int n = std::snprintf(text, sizeof text, "%04d-%02u-%02u%02d:%02d",
                                int(date.year()), unsigned(date.month()),
                                unsigned(date.day()),
                                static_cast<int>(time.hours().count()),
                                static_cast<int>(time.minutes().count()));
    const std::string_view stamp(text, static_cast<std::size_t>(n));
    return LocalStamp{std::string(stamp.substr(0, stamp.size() - 5)),
                      std::string(stamp.substr(stamp.size() - 5))};
  }
  ::tzset();  // follow TZ as it is now
  const std::time_t now = std::time(nullptr);
  struct tm local {};
  errno = 0;
  if (::localtime_r(&now, &local) == nullptr) {
    // It fails only when the year does not fit; say so even if the C
    // library left errno unset.
    return std::unexpected(OsError::system(errno != 0 ? errno : EOVERFLOW));
  }
  char date[32];
  char time[16];
  const std::size_t date_size =
      std::strftime(date, sizeof date, "%Y-%m-%d", &local);
  const std::size_t time_size =
      std::strftime(time, sizeof time, "%H:%M", &local);
  return LocalStamp{std::string(date, date_size), std::string(time, time_size)};
}

bool process_alive(std::uint32_t pid) {
  // 0 and ids beyond pid_t name process groups or nothing to kill.
  if (pid == 0 ||
      pid > static_cast<std::uint32_t>(std::numeric_limits<pid_t>::max())) {
    return false;
  }
  // Signal 0 asks without signalling; EPERM: it runs as someone else.
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

std::optional<std::string> environment_variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) {
    return std::nullopt;
  }
  return std::string(value);
}

}  // namespace vestigor_mcp::os
