#include "tools/daily_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/fd_io.hpp"
#include "util/fs.hpp"
#include "util/unicode.hpp"

namespace vestigor_mcp {

namespace {

struct LocalStamp {
  std::string date;  // "%Y-%m-%d"
  std::string time;  // "%H:%M"
};

// Date and time come from one clock reading: read twice, an entry made
// across midnight would land in the previous day's note stamped 00:00.
std::expected<LocalStamp, int> read_local_clock() {
  ::tzset();  // follow TZ as it is now
  const std::time_t now = std::time(nullptr);
  struct tm local {};
  errno = 0;
  if (::localtime_r(&now, &local) == nullptr) {
    // localtime_r fails only when the year does not fit; say so even if
    // the C library left errno unset.
    return std::unexpected(errno != 0 ? errno : EOVERFLOW);
  }
  char date[32];
  char time[16];
  const std::size_t date_size =
      std::strftime(date, sizeof date, "%Y-%m-%d", &local);
  const std::size_t time_size =
      std::strftime(time, sizeof time, "%H:%M", &local);
  return LocalStamp{std::string(date, date_size), std::string(time, time_size)};
}

// O_NONBLOCK changes nothing for a regular file, but a FIFO in the note's
// place must fail at once instead of holding the server until a reader
// turns up.
constexpr int kAppendFlags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK;

int open_retrying(const std::string& path, int flags) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

struct OpenNote {
  int fd = -1;
  bool starts_note = false;  // write the heading before the entry
  // The folder that gained the note's name and must be synced before the
  // entry counts as kept; empty when the note was there before.
  std::string new_name_in;
};

// Opens the day's note for appending. The note gets its heading from the
// one writer whose exclusive creation succeeds: several servers finding
// the note missing at once write one heading between them.
std::expected<OpenNote, int> open_note(const std::string& folder,
                                       const std::string& note) {
  struct stat st {};
  if (::stat(note.c_str(), &st) == 0) {
    // There already, even if empty: only the entry goes in.
    const int fd = open_retrying(note, kAppendFlags);
    if (fd < 0) {
      return std::unexpected(errno);
    }
    return OpenNote{fd, false, {}};
  }
  int fd = open_retrying(note, kAppendFlags | O_CREAT | O_EXCL);
  if (fd >= 0) {
    return OpenNote{fd, true, folder};
  }
  if (errno != EEXIST) {
    return std::unexpected(errno);
  }
  struct stat link {};
  if (::lstat(note.c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
      ::stat(note.c_str(), &st) != 0) {
    // A link that leads nowhere (O_EXCL never follows one): the note is
    // made where it points and starts with the heading, as it always has.
    fd = open_retrying(note, kAppendFlags | O_CREAT);
    if (fd < 0) {
      return std::unexpected(errno);
    }
    char* target = ::realpath(note.c_str(), nullptr);
    if (target == nullptr) {
      const int error = errno;
      ::close(fd);
      return std::unexpected(error);
    }
    std::string target_folder = parent_directory(target);
    std::free(target);
    return OpenNote{fd, true, std::move(target_folder)};
  }
  // Another writer made the note since the stat and writes the heading.
  // Its name may not be on disk yet, and this entry depends on it.
  fd = open_retrying(note, kAppendFlags);
  if (fd < 0) {
    return std::unexpected(errno);
  }
  return OpenNote{fd, false, folder};
}

}  // namespace

ToolOutcome append_daily_log(std::string_view raw) {
  const std::string_view text = trim_white_space(raw);
  if (text.empty()) {
    return std::unexpected(std::string("text is empty"));
  }
  const auto vault = vault_root();
  if (!vault) {
    return std::unexpected(vault.error());
  }
  const std::string folder = join_path(*vault, "daily");
  const auto made = make_directories(folder);
  if (!made) {
    return std::unexpected(os_error_text(made.error()));
  }
  const auto stamp = read_local_clock();
  if (!stamp) {
    return std::unexpected(os_error_text(stamp.error()));
  }
  const std::string note = join_path(folder, stamp->date + ".md");

  const auto opened = open_note(folder, note);
  if (!opened) {
    return std::unexpected(os_error_text(opened.error()));
  }
  std::string buffer;
  if (opened->starts_note) {
    buffer += "# " + stamp->date + "\n\n";
  }
  buffer += "- " + stamp->time + " ";
  buffer += text;
  buffer += '\n';

  // The answer promises the entry is on disk: the bytes, then every name
  // leading to them that this call (or a writer it raced) just made.
  const auto written = write_all(opened->fd, buffer);
  if (!written) {
    ::close(opened->fd);
    return std::unexpected(write_error_text(written.error()));
  }
  const auto synced = sync_data(opened->fd);
  ::close(opened->fd);  // after fdatasync, closing has nothing to report
  if (!synced) {
    return std::unexpected(os_error_text(synced.error()));
  }
  std::vector<std::string> folders;
  if (!opened->new_name_in.empty()) {
    folders.push_back(opened->new_name_in);
  }
  for (auto it = made->rbegin(); it != made->rend(); ++it) {
    folders.push_back(parent_directory(*it));
  }
  for (const std::string& changed : folders) {
    if (const auto kept = sync_directory(changed); !kept) {
      return std::unexpected(os_error_text(kept.error()));
    }
  }
  return "Appended to " + display_path(note, *vault);
}

}  // namespace vestigor_mcp
