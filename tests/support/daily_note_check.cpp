#include "support/daily_note_check.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "support/files.hpp"
#include "support/server_process.hpp"

namespace vestigor_mcp::testing {

Stamp stamp_at(std::time_t t, const std::string& tz) {
  const char* old = std::getenv("TZ");
  const std::optional<std::string> saved =
      old ? std::optional<std::string>(old) : std::nullopt;
  ::setenv("TZ", tz.c_str(), 1);
  ::tzset();
  struct tm local {};
  ::localtime_r(&t, &local);
  char date[32];
  char time[16];
  std::strftime(date, sizeof date, "%Y-%m-%d", &local);
  std::strftime(time, sizeof time, "%H:%M", &local);
  if (saved) {
    ::setenv("TZ", saved->c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
  return {date, time};
}

std::vector<std::string> likely_dates(const std::string& tz) {
  const std::time_t now = std::time(nullptr);
  std::vector<std::string> dates{stamp_at(now, tz).date};
  if (std::string next = stamp_at(now + 600, tz).date; next != dates.back()) {
    dates.push_back(std::move(next));
  }
  return dates;
}

std::set<Stamp> stamps_since(std::time_t start, const std::string& tz) {
  std::set<Stamp> stamps;
  for (std::time_t t = start, end = std::time(nullptr); t <= end; ++t) {
    stamps.insert(stamp_at(t, tz));
  }
  return stamps;
}

std::vector<DailyEntry> read_daily_entries(const std::string& folder,
                                           const std::set<Stamp>& window) {
  std::vector<DailyEntry> entries;
  int broken = 0;
  for (const auto& [name, content] : read_folder(folder)) {
    SCOPED_TRACE(name);
    const std::string date = name.substr(0, name.size() - 3);
    const std::string heading = "# " + date + "\n\n";
    EXPECT_TRUE(content.starts_with(heading)) << content.substr(0, 80);
    EXPECT_TRUE(content.ends_with("\n"));
    const std::size_t after = content.starts_with(heading) ? heading.size() : 0;
    for (const std::string& line : split_lines(content.substr(after))) {
      // "- HH:MM <text>", stamped within the window.
      if (line.size() > 8 && line.starts_with("- ") && line[7] == ' ' &&
          window.contains({date, line.substr(2, 5)})) {
        entries.push_back({{date, line.substr(2, 5)}, line.substr(8)});
      } else if (++broken <= 5) {
        ADD_FAILURE() << "not a whole entry of the window: " << line;
      }
    }
  }
  EXPECT_EQ(broken, 0);
  return entries;
}

}  // namespace vestigor_mcp::testing
