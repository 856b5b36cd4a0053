// The local clock on POSIX systems: the C library's reading of TZ.
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "util/local_clock.hpp"

namespace vestigor_mcp {

std::expected<LocalStamp, int> read_local_clock() {
  // An empty TZ means the system's zone, as an unset one does: hosts pass
  // optional settings left blank as empty variables, and the C library
  // would read "" as UTC.
  if (const char* tz = std::getenv("TZ"); tz != nullptr && *tz == '\0') {
    (void)::unsetenv("TZ");
  }
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

}  // namespace vestigor_mcp
