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
constexpr int kCreateFlags = kAppendFlags | O_CREAT | O_EXCL;

int open_retrying(const std::string& path, int flags) {
  int fd = -1;
  do {
    fd = ::openat(AT_FDCWD, path.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Writes `bytes` to `fd` and makes them durable, then closes it. The error
// is an errno value or kNoProgress (write_error_text turns either into
// the answer's text).
std::expected<void, int> write_durably(int fd, std::string_view bytes) {
  auto done = write_all(fd, bytes);
  if (done) {
    done = sync_data(fd);
  }
  ::close(fd);  // after fdatasync, closing has nothing to report
  return done;
}

// Opens `path` with `flags` and writes `bytes` durably.
std::expected<void, int> write_durably(const std::string& path, int flags,
                                       std::string_view bytes) {
  const int fd = open_retrying(path, flags);
  if (fd < 0) {
    return std::unexpected(errno);
  }
  return write_durably(fd, bytes);
}

enum class Creation { kMade, kNameTaken };

// Makes the note holding `content` (heading and first entry) in one step:
// written and synced under a hidden name, then linked to the note's name,
// which fails when the name is taken. A writer that loses the race for
// the note therefore never finds it without its heading, and a crash
// never leaves it empty. Where the file system has no hard links, the
// note is created with O_EXCL and written straight away instead.
std::expected<Creation, int> create_note(const std::string& folder,
                                         const std::string& note,
                                         const std::string& name,
                                         std::string_view content) {
  // Hidden, so no search reads it; the pid and the clock make it this
  // call's own, and O_EXCL makes sure of it.
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 4 && fd < 0; ++attempt) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    temporary =
        join_path(folder, "." + name + "." + std::to_string(::getpid()) + "." +
                              std::to_string(now.tv_nsec));
    fd = open_retrying(temporary, kCreateFlags);
    if (fd < 0 && errno != EEXIST) {
      break;
    }
  }
  if (fd < 0) {
    return std::unexpected(errno);
  }
  if (const auto kept = write_durably(fd, content); !kept) {
    (void)::unlink(temporary.c_str());
    return std::unexpected(kept.error());
  }
  const int linked = ::link(temporary.c_str(), note.c_str());
  const int error = errno;
  (void)::unlink(temporary.c_str());
  if (linked == 0) {
    return Creation::kMade;
  }
  if (error == EEXIST) {
    return Creation::kNameTaken;
  }
  // No hard links here (or the name cannot be made: then this fails too).
  fd = open_retrying(note, kCreateFlags);
  if (fd < 0) {
    return errno == EEXIST ? std::expected<Creation, int>(Creation::kNameTaken)
                           : std::unexpected(errno);
  }
  if (const auto kept = write_durably(fd, content); !kept) {
    return std::unexpected(kept.error());
  }
  return Creation::kMade;
}

// Folders that gained a name for the entry and must be synced before the
// entry counts as kept.
struct NewNames {
  bool in_folder = false;  // the daily folder, by this call or a rival
  std::string elsewhere;   // where a note made through a link went
};

// A link in the note's place that leads nowhere: the note is made where
// it points (a link never lends its name to another file, so it cannot be
// made in one step) and starts with the heading, as it always has.
bool is_dangling_link(const std::string& note) {
  struct stat st {};
  return ::lstat(note.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
         ::stat(note.c_str(), &st) != 0;
}

std::expected<NewNames, int> create_through_link(
    const std::string& note, std::string_view heading_and_entry) {
  const auto kept =
      write_durably(note, kAppendFlags | O_CREAT, heading_and_entry);
  if (!kept) {
    return std::unexpected(kept.error());
  }
  char* target = ::realpath(note.c_str(), nullptr);
  if (target == nullptr) {
    return std::unexpected(errno);
  }
  std::string target_folder = parent_directory(target);
  std::free(target);
  return NewNames{false, std::move(target_folder)};
}

// Puts `heading_and_entry` into a note it makes, or `entry` alone into the
// note that is there, durably either way.
std::expected<NewNames, int> place_entry(const std::string& folder,
                                         const std::string& note,
                                         const std::string& name,
                                         std::string_view heading_and_entry,
                                         std::string_view entry) {
  struct stat st {};
  if (::stat(note.c_str(), &st) == 0) {
    // There already, even if empty: only the entry goes in.
    if (const auto kept = write_durably(note, kAppendFlags, entry); !kept) {
      return std::unexpected(kept.error());
    }
    return NewNames{};
  }
  if (is_dangling_link(note)) {
    return create_through_link(note, heading_and_entry);
  }
  const auto created = create_note(folder, note, name, heading_and_entry);
  if (!created) {
    return std::unexpected(created.error());
  }
  if (*created == Creation::kMade) {
    return NewNames{true, {}};
  }
  if (is_dangling_link(note)) {  // put there meanwhile
    return create_through_link(note, heading_and_entry);
  }
  // Another writer made the note since the stat, with its heading. Its
  // name may not be on disk yet, and this entry depends on it.
  if (const auto kept = write_durably(note, kAppendFlags, entry); !kept) {
    return std::unexpected(kept.error());
  }
  return NewNames{true, {}};
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
  const std::string name = stamp->date + ".md";
  const std::string note = join_path(folder, name);

  std::string buffer = "# " + stamp->date + "\n\n";
  const std::size_t heading_size = buffer.size();
  buffer += "- " + stamp->time + " ";
  buffer += text;
  buffer += '\n';

  // The answer promises the entry is on disk: its bytes, then every name
  // leading to them that this call (or a writer it raced) just made.
  const auto placed =
      place_entry(folder, note, name, buffer,
                  std::string_view(buffer).substr(heading_size));
  if (!placed) {
    return std::unexpected(write_error_text(placed.error()));
  }
  std::vector<std::string> folders;
  if (placed->in_folder) {
    folders.push_back(folder);
  }
  if (!placed->elsewhere.empty()) {
    folders.push_back(placed->elsewhere);
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
