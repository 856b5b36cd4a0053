// daily_note_check.hpp: reads back the daily notes that servers wrote by
// the real clock, for the end-to-end tests that cannot know the stamps in
// advance: the clock is bracketed by two readings around the run, and
// every note must hold its heading once, at its top, then whole entry
// lines stamped within that window. Anything else fails the test.
#pragma once

#include <ctime>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace vestigor_mcp::testing {

struct Stamp {
  std::string date;  // "%Y-%m-%d"
  std::string time;  // "%H:%M"
};

// Local date and time of `t` in the zone `tz` names, as the server writes
// them. TZ in this process is left as it was.
Stamp stamp_at(std::time_t t, const std::string& tz);

// The stamps a server in zone `tz` may give while the window is open.
class ClockWindow {
 public:
  explicit ClockWindow(std::string tz);
  // Takes the second reading; call right after the run.
  void close();
  bool holds(const std::string& date, const std::string& time) const;

 private:
  std::string tz_;
  std::time_t start_;
  std::set<std::pair<std::string, std::string>> stamps_;
};

struct DailyEntry {
  std::string date;  // of the note it is in
  std::string time;
  std::string text;
};

// The entries of every note in the daily folder `folder`, notes in date
// order. Each note must be "# <date>\n\n" (its date, once, at its top)
// followed by whole lines "- HH:MM <text>\n" stamped within `window`; a
// line that is not fails the test (the first few are shown) and is left
// out. Texts with a line feed cannot be told apart from torn lines here.
std::vector<DailyEntry> read_daily_entries(const std::string& folder,
                                           const ClockWindow& window);

}  // namespace vestigor_mcp::testing
