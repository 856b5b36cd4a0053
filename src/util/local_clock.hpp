// local_clock.hpp: the date and time of day where the user is:
// local_clock_posix.cpp (TZ, as the C library reads it) |
// local_clock_windows.cpp (the system's time zone).
#pragma once

#include <expected>
#include <string>

namespace vestigor_mcp {

struct LocalStamp {
  std::string date;  // "%Y-%m-%d"
  std::string time;  // "%H:%M"
};

// Date and time come from one clock reading: read twice, an entry made
// across midnight would land in the previous day's note stamped 00:00.
// The failure is an errno value (the year does not fit).
std::expected<LocalStamp, int> read_local_clock();

}  // namespace vestigor_mcp
