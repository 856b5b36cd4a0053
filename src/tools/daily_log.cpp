#include "tools/daily_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/eintr.hpp"
#include "util/fd_io.hpp"
#include "util/fs.hpp"
#include "util/local_clock.hpp"
#include "util/path.hpp"
#include "util/rename_no_replace.hpp"
#include "util/stop_signals.hpp"
#include "util/unicode.hpp"

namespace vestigor_mcp {

namespace {

// O_NONBLOCK changes nothing for a regular file, but a FIFO in the note's
// place must fail at once instead of holding the server until a reader
// turns up.
constexpr int kAppendFlags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK;
constexpr int kCreateFlags = kAppendFlags | O_CREAT | O_EXCL;

enum class Creation { kMade, kNameTaken };

int open_retrying(const std::string& path, int flags) {
  return retry_on_eintr(
      [&] { return ::openat(AT_FDCWD, path.c_str(), flags, 0666); });
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

// Opens `path` with `flags` and appends `bytes` durably, or leaves the
// note as it was when the write fails (append_entry). ENOENT also when
// the note lost its name before the write.
std::expected<void, int> append_durably(const std::string& path, int flags,
                                        std::string_view bytes) {
  const int fd = open_retrying(path, flags);
  if (fd < 0) {
    return std::unexpected(errno);
  }
  auto done = append_entry(fd, bytes);
  if (done) {
    done = sync_data(fd);
  }
  ::close(fd);
  return done;
}

// Makes the note with O_EXCL and writes `content` into it, where hard
// links and no-replace renames are refused. Appenders wait (lock) until
// it holds its heading; should the write fail, the note goes again, so
// no note is ever left without its heading.
std::expected<Creation, int> create_in_place(const std::string& note,
                                             std::string_view content) {
  const int fd = open_retrying(note, kCreateFlags);
  if (fd < 0) {
    return errno == EEXIST ? std::expected<Creation, int>(Creation::kNameTaken)
                           : std::unexpected(errno);
  }
  lock_new_file(fd);
  std::size_t written = 0;
  auto done = write_all(fd, content, written);
  if (done) {
    done = sync_data(fd);
  }
  if (!done) {
    discard_new_file(fd, note, written);
  }
  ::close(fd);
  if (!done) {
    return std::unexpected(done.error());
  }
  return Creation::kMade;
}

// Makes the note holding `content` (heading and first entry) in one step:
// written and synced under a hidden name, then linked to the note's name,
// which fails when the name is taken. A writer that loses the race for
// the note therefore never finds it without its heading, and a crash
// never leaves it empty. Where the file system has no hard links (exFAT,
// vfat, some network and FUSE file systems), the hidden file is renamed
// to the note's name if the system can refuse a taken name, and otherwise
// the note is made in place (create_in_place).
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
  int error = ::link(temporary.c_str(), note.c_str()) == 0 ? 0 : errno;
  if (error != 0 && error != EEXIST) {
    // No hard links here: a rename that refuses a taken name does as well.
    const auto renamed = rename_no_replace(temporary.c_str(), note.c_str());
    if (renamed) {
      return Creation::kMade;  // the hidden name went with it
    }
    error = renamed.error();
  }
  (void)::unlink(temporary.c_str());
  if (error == 0) {
    return Creation::kMade;
  }
  if (error == EEXIST) {
    return Creation::kNameTaken;
  }
  // Neither (or the name cannot be made: then this fails too).
  return create_in_place(note, content);
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
      append_durably(note, kAppendFlags | O_CREAT, heading_and_entry);
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
    if (const auto kept = append_durably(note, kAppendFlags, entry); !kept) {
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
  if (const auto kept = append_durably(note, kAppendFlags, entry); !kept) {
    return std::unexpected(kept.error());
  }
  return NewNames{true, {}};
}

// The append, stamped `fixed` when given, else by the local clock.
ToolOutcome append_stamped(std::string_view text,
                           const std::optional<LocalStamp>& fixed) {
  const std::string_view entry_text = trim_white_space(text);
  if (entry_text.empty()) {
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
  const auto stamp =
      fixed ? std::expected<LocalStamp, int>(*fixed) : read_local_clock();
  if (!stamp) {
    return std::unexpected(os_error_text(stamp.error()));
  }
  const std::string name = stamp->date + ".md";
  const std::string note = join_path(folder, name);

  // A new note's bytes: its heading, then the entry line, which alone is
  // appended to a note that exists.
  std::string new_note = "# " + stamp->date + "\n\n";
  const std::size_t heading_size = new_note.size();
  new_note += "- " + stamp->time + " ";
  new_note += entry_text;
  new_note += '\n';

  // The answer promises the entry is on disk: its bytes, then every name
  // leading to them that this call (or a writer it raced) just made.
  // A note that loses its name under this call (a writer that made it in
  // place failed and took it away again) is looked for afresh.
  const std::string_view entry =
      std::string_view(new_note).substr(heading_size);
  const StopDeferral whole_entry;  // a stop waits until the note is sound
  auto placed = place_entry(folder, note, name, new_note, entry);
  for (int retry = 0; retry < 3 && !placed && placed.error() == ENOENT;
       ++retry) {
    placed = place_entry(folder, note, name, new_note, entry);
  }
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

}  // namespace

ToolOutcome append_daily_log(std::string_view text) {
  return append_stamped(text, std::nullopt);
}

ToolOutcome TEST_append_daily_log(std::string_view text,
                                  const LocalStamp& stamp) {
  return append_stamped(text, stamp);
}

}  // namespace vestigor_mcp
