#include "tools/daily_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string_view>

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
  if (const auto made = make_directories(folder); !made) {
    return std::unexpected(os_error_text(made.error()));
  }
  const auto stamp = read_local_clock();
  if (!stamp) {
    return std::unexpected(os_error_text(stamp.error()));
  }
  const std::string note = join_path(folder, stamp->date + ".md");

  std::string buffer;
  struct stat st {};
  if (::stat(note.c_str(), &st) != 0) {
    buffer += "# " + stamp->date + "\n\n";
  }
  buffer += "- " + stamp->time + " ";
  buffer += text;
  buffer += '\n';

  // O_NONBLOCK changes nothing for a regular file, but a FIFO in the note's
  // place must fail at once instead of holding the server until a reader
  // turns up.
  int fd = -1;
  do {
    fd = ::open(note.c_str(),
                O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return std::unexpected(os_error_text(errno));
  }
  const auto written = write_all(fd, buffer);
  ::close(fd);  // nothing left to learn from it: the bytes are out or failed
  if (!written) {
    return std::unexpected(write_error_text(written.error()));
  }
  return "Appended to " + display_path(note, *vault);
}

}  // namespace vestigor_mcp
