// The local clock on Windows: the system's time zone (GetLocalTime). TZ
// is not read: the C runtime understands it only in POSIX form
// ("CET-1CEST") and silently misreads a zone name ("Europe/Berlin" as a
// zone "Eur" at UTC), and Windows programs follow the system's zone.
#include <windows.h>

#include <cstdio>

#include "util/local_clock.hpp"

namespace vestigor_mcp {

std::expected<LocalStamp, int> read_local_clock() {
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

}  // namespace vestigor_mcp
