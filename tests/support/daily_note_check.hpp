// daily_note_check.hpp: reads back the daily notes that servers wrote by
// the real clock, for the end-to-end tests that cannot know the stamps in
// advance: the server read its clock at some moment between two readings
// the test takes around the run, and every note must hold its heading
// once, at its top, then whole entry lines stamped within that window.
// Anything else fails the test.
#pragma once

#include <ctime>
#include <set>
#include <string>
#include <vector>

namespace vestigor_mcp::testing {

struct Stamp {
  std::string date;  // "%Y-%m-%d"
  std::string time;  // "%H:%M"
  auto operator<=>(const Stamp&) const = default;
};

// Local date and time of `t` in the zone `tz` names, as the server writes
// them. TZ in this process is left as it was.
Stamp stamp_at(std::time_t t, const std::string& tz);

// The dates of zone `tz` a run starting now may write to: today's and,
// should midnight come within ten minutes, the next.
std::vector<std::string> likely_dates(const std::string& tz);

// Every stamp of zone `tz` from `start` to now.
std::set<Stamp> stamps_since(std::time_t start, const std::string& tz);

struct DailyEntry {
  Stamp stamp;  // its date is the note's
  std::string text;
};

// The entries of every note in the daily folder `folder`, notes in date
// order. Each note must be "# <date>\n\n" (its date, once, at its top)
// followed by whole lines "- HH:MM <text>\n" with stamps from `window`; a
// line that is not fails the test (the first few are shown) and is left
// out. Texts with a line feed cannot be told apart from torn lines here.
std::vector<DailyEntry> read_daily_entries(const std::string& folder,
                                           const std::set<Stamp>& window);

}  // namespace vestigor_mcp::testing
