// append_daily_log as a client sees it: real vaults, real permissions and
// the real clock in a zone fixed through TZ. The server reads its clock at
// some moment between two readings the test takes around the run, so a
// check passes when the replies and the daily folder match what some
// reading in that window gives (a later call never earlier than the one
// before it).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <latch>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/files.hpp"
#include "support/server_process.hpp"
#include "support/temp_vault.hpp"

namespace vestigor_mcp::testing {
namespace {

namespace fs = std::filesystem;

using Notes = FolderFiles;  // name in daily/ -> bytes

struct Stamp {
  std::string date;
  std::string time;
  bool operator==(const Stamp&) const = default;
};

// Local date and time of `t` in zone `tz`, formatted as the server does.
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

// Brackets a server run with two clock readings.
class ClockWindow {
 public:
  explicit ClockWindow(std::string tz)
      : tz_(std::move(tz)), start_(std::time(nullptr)), end_(start_) {}

  // Takes the second reading; call right after the run.
  void close() { end_ = std::time(nullptr); }

  // The dates a run starting now can use, for fixtures made before it: this
  // day's and, should midnight come within ten minutes, the next.
  std::vector<std::string> likely_dates() const {
    std::vector<std::string> dates{stamp_at(start_, tz_).date};
    const std::string later = stamp_at(start_ + 600, tz_).date;
    if (later != dates.front()) {
      dates.push_back(later);
    }
    return dates;
  }

  // The distinct stamps of every second in the window, oldest first.
  std::vector<Stamp> stamps() const {
    std::vector<Stamp> out;
    for (std::time_t t = start_; t <= end_; ++t) {
      Stamp s = stamp_at(t, tz_);
      if (out.empty() || !(out.back() == s)) {
        out.push_back(std::move(s));
      }
    }
    return out;
  }

  // Every way `n` successive calls can have been stamped in the window.
  std::vector<std::vector<Stamp>> stampings(std::size_t n) const {
    const std::vector<Stamp> all = stamps();
    std::vector<std::vector<Stamp>> out;
    std::vector<Stamp> current;
    std::function<void(std::size_t)> extend = [&](std::size_t from) {
      if (current.size() == n) {
        out.push_back(current);
        return;
      }
      for (std::size_t k = from; k < all.size(); ++k) {
        current.push_back(all[k]);
        extend(k);
        current.pop_back();
      }
    };
    extend(0);
    return out;
  }

 private:
  std::string tz_;
  std::time_t start_;
  std::time_t end_;
};

struct Call {
  std::optional<int> id;  // nullopt: sent as a notification
  std::string text;       // the "text" argument as sent
  std::string written;    // what the entry line must carry
};

std::string request_lines(const std::vector<Call>& calls) {
  std::string input;
  for (const Call& c : calls) {
    const std::string arguments = string_arguments("text", c.text);
    if (c.id) {
      input += tool_call_input(*c.id, "append_daily_log", arguments);
    } else {
      input +=
          "{\"jsonrpc\":\"2.0\",\"method\":\"tools/call\",\"params\":{\"name\":"
          "\"append_daily_log\",\"arguments\":" +
          arguments + "}}\n";
    }
  }
  return input;
}

RunOptions options_for(const std::string& tz,
                       std::optional<std::string> vault) {
  RunOptions options;
  options.env = {{"TZ", tz}, {"VESTIGOR_VAULT", std::move(vault)}};
  options.timeout = std::chrono::seconds(30);
  return options;
}

// The daily folder after `calls`, stamped `stamps`, appended to `notes`.
Notes after_appends(Notes notes, const std::vector<Call>& calls,
                    const std::vector<Stamp>& stamps) {
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const std::string name = stamps[i].date + ".md";
    if (!notes.contains(name)) {
      notes[name] = "# " + stamps[i].date + "\n\n";
    }
    notes[name] += "- " + stamps[i].time + " " + calls[i].written + "\n";
  }
  return notes;
}

Lines replies(const std::vector<Call>& calls,
              const std::vector<Stamp>& stamps) {
  Lines out;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].id) {
      out.push_back(tool_result_line(
          *calls[i].id, "Appended to daily/" + stamps[i].date + ".md", false));
    }
  }
  return out;
}

// Runs `calls` and checks every reply and the daily folder `folder`, which
// held `before`.
void run_and_expect_appended(const std::vector<Call>& calls,
                             const RunOptions& options,
                             const std::string& folder, const Notes& before,
                             ClockWindow window) {
  const RunResult r = run_server(request_lines(calls), options);
  window.close();
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0);
  const Notes actual = read_folder(folder);
  const auto stampings = window.stampings(calls.size());
  for (const auto& stamps : stampings) {
    if (r.out_lines() == replies(calls, stamps) &&
        actual == after_appends(before, calls, stamps)) {
      return;
    }
  }
  // Nothing fits: show the difference from the likeliest stamping.
  EXPECT_EQ(r.out_lines(), replies(calls, stampings.front()));
  EXPECT_EQ(actual, after_appends(before, calls, stampings.front()));
}

mode_t current_umask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

TEST(DailyLog, CreatesVaultFolderNoteAndHeadingThenOnlyAppends) {
  TempVault v;
  const std::string vault = v.at("new/vault");
  ClockWindow window("UTC");
  run_and_expect_appended({{1, "first", "first"}, {2, "second", "second"}},
                          options_for("UTC", vault), vault + "/daily", {},
                          window);
  const mode_t mask = current_umask();
  EXPECT_EQ(mode_of(v.at("new")), 0777 & ~mask);
  EXPECT_EQ(mode_of(vault + "/daily"), 0777 & ~mask);
  for (const auto& [name, content] : read_folder(vault + "/daily")) {
    EXPECT_EQ(mode_of(vault + "/daily/" + name), 0666 & ~mask);
  }
}

TEST(DailyLog, StampsWithTheLocalTimeOfTheZoneInTz) {
  // Offsets of +14:00 and -03:30 move both the date and the minute away
  // from UTC's; a server that ignored TZ could not pass.
  const std::time_t now = std::time(nullptr);
  for (const std::string tz : {"Pacific/Kiritimati", "America/St_Johns"}) {
    SCOPED_TRACE(tz);
    ASSERT_NE(stamp_at(now, tz).time, stamp_at(now, "UTC").time)
        << "zone data for " << tz << " is missing";
    TempVault v;
    ClockWindow window(tz);
    run_and_expect_appended({{1, "zoned", "zoned"}}, options_for(tz, v.path()),
                            v.at("daily"), {}, window);
  }
}

std::string bytes_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool write_bytes(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  return static_cast<bool>(std::ofstream(path, std::ios::binary) << bytes);
}

// Kiritimati (UTC+14) as the system's zone, in a mount namespace of the
// server's own: /etc/localtime leads to it, while the zone files a C
// library may read for an empty TZ ("UTC", "Universal") stay UTC. Here
// /etc/localtime is usually a link into the zone folder, which a fresh
// tmpfs then covers.
bool kiritimati_as_system_zone() {
  const std::string zones = "/usr/share/zoneinfo";
  const std::string kiritimati = bytes_of(zones + "/Pacific/Kiritimati");
  const std::string utc = bytes_of(zones + "/Etc/UTC");
  std::error_code error;
  const std::string local = fs::canonical("/etc/localtime", error).string();
  if (kiritimati.empty() || utc.empty() || ::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", zones.c_str(), "tmpfs", 0, nullptr) != 0) {
    return false;
  }
  for (const char* name :
       {"/UTC", "/Universal", "/Etc/UTC", "/Etc/Universal"}) {
    if (!write_bytes(zones + name, utc)) {
      return false;
    }
  }
  if (local.starts_with(zones + "/")) {
    return write_bytes(local, kiritimati);
  }
  return write_bytes(zones + "/Kiritimati", kiritimati) &&
         ::mount((zones + "/Kiritimati").c_str(), "/etc/localtime", nullptr,
                 MS_BIND, nullptr) == 0;
}

// Hosts pass an optional setting left blank as an empty variable: an
// empty TZ means the system's zone, as an unset one does (not UTC).
TEST(DailyLog, EmptyTzMeansTheSystemZone) {
  VESTIGOR_SKIP_UNDER_WINE(
      "the system zone under Wine is Wine's own mapping of the Linux zone, "
      "which this test's private zone file does not set");
  RunOptions probe;
  probe.before_exec = kiritimati_as_system_zone;
  if (run_server("", probe).exit_code == 124) {
    GTEST_SKIP() << "cannot set the system zone for the server alone: needs "
                    "root and a private mount namespace";
  }
  for (const std::optional<std::string>& tz :
       {std::optional<std::string>(), std::optional<std::string>("")}) {
    SCOPED_TRACE(tz ? "TZ empty" : "TZ unset");
    TempVault v;
    RunOptions options = options_for("", v.path());
    options.env[0].second = tz;
    options.before_exec = kiritimati_as_system_zone;
    ClockWindow window("Pacific/Kiritimati");
    run_and_expect_appended({{1, "zoned", "zoned"}}, options, v.at("daily"), {},
                            window);
  }
}

TEST(DailyLog, AppendsToAnExistingNoteWithoutHeading) {
  struct Row {
    const char* name;
    std::string content;
  };
  const Row rows[] = {
      {"empty note", ""},
      {"last line without line feed", "# old\n\n- 09:00 earlier"},
      {"ordinary note", "# x\n\n- 08:00 a\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempVault v;
    ClockWindow window("UTC");
    Notes before;
    for (const std::string& date : window.likely_dates()) {
      v.write("daily/" + date + ".md", row.content);
      before[date + ".md"] = row.content;
    }
    run_and_expect_appended({{1, "more", "more"}}, options_for("UTC", v.path()),
                            v.at("daily"), before, window);
  }
}

TEST(DailyLog, WritesTheTextTrimmedButOtherwiseUnchanged) {
  TempVault v;
  ClockWindow window("America/St_Johns");
  run_and_expect_appended(
      {
          {1, "  Shipped ", "Shipped"},
          {2, "\u00a0\u3000line one\nline two\t\r\n", "line one\nline two"},
          {3, "\u200b zero width is no white space \u200b",
           "\u200b zero width is no white space \u200b"},
          {4, "a \"quote\", a \\ and  two  blanks",
           "a \"quote\", a \\ and  two  blanks"},
      },
      options_for("America/St_Johns", v.path()), v.at("daily"), {}, window);
}

TEST(DailyLog, NotificationStillAppends) {
  TempVault v;
  ClockWindow window("UTC");
  run_and_expect_appended(
      {{std::nullopt, "unanswered", "unanswered"}, {7, "answered", "answered"}},
      options_for("UTC", v.path()), v.at("daily"), {}, window);
}

TEST(DailyLog, EmptyVaultPathWritesUnderTheWorkingDirectory) {
  TempVault v;
  RunOptions options = options_for("UTC", "");
  options.cwd = v.path();
  ClockWindow window("UTC");
  run_and_expect_appended({{1, "here", "here"}}, options, v.at("daily"), {},
                          window);
}

// One call that must fail with `message`; nothing goes to the note.
void expect_failure(const std::string& message, const RunOptions& options) {
  const RunResult r = run_server(
      tool_call_input(1, "append_daily_log", "{\"text\":\"entry\"}"), options);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out_lines(),
            Lines{tool_result_line(1, "Error: " + message, true)});
}

TEST(DailyLog, ReportsFileSystemFailuresWithTheOsErrorText) {
  VESTIGOR_SKIP_UNDER_WINE(
      "exact error texts: Windows describes its own error codes");
  struct Row {
    const char* name;
    std::function<void(const TempVault&, const std::string& date)> setup;
    std::string message;
  };
  const Row rows[] = {
      {"plain file named daily",
       [](const TempVault& v, const std::string&) { v.write("daily", "keep"); },
       "File exists (os error 17)"},
      {"link named daily to a file",
       [](const TempVault& v, const std::string&) {
         v.write("other", "keep");
         v.symlink("other", "daily");
       },
       "File exists (os error 17)"},
      {"folder with the note's name",
       [](const TempVault& v, const std::string& date) {
         v.mkdir("daily/" + date + ".md");
       },
       "Is a directory (os error 21)"},
      {"note links to /dev/full",
       [](const TempVault& v, const std::string& date) {
         v.symlink("/dev/full", "daily/" + date + ".md");
       },
       "No space left on device (os error 28)"},
      // Opening a FIFO for writing would wait for a reader; it fails at once.
      {"FIFO with the note's name",
       [](const TempVault& v, const std::string& date) {
         v.mkdir("daily");
         ASSERT_EQ(::mkfifo(v.at("daily/" + date + ".md").c_str(), 0666), 0);
       },
       "No such device or address (os error 6)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempVault v;
    ClockWindow window("UTC");
    for (const std::string& date : window.likely_dates()) {
      row.setup(v, date);
    }
    expect_failure(row.message, options_for("UTC", v.path()));
    if (v.exists("other")) {
      EXPECT_EQ(v.read("other"), "keep");
    } else if (v.exists("daily") && !fs::is_directory(v.at("daily"))) {
      EXPECT_EQ(v.read("daily"), "keep");
    }
  }
}

// A device in the note's place takes the entry; with nothing there to
// sync, the append still succeeds.
TEST(DailyLog, AppendsToADeviceThatKeepsNothingToSync) {
  TempVault v;
  ClockWindow window("UTC");
  for (const std::string& date : window.likely_dates()) {
    v.symlink("/dev/null", "daily/" + date + ".md");
  }
  const RunResult r =
      run_server(tool_call_input(1, "append_daily_log", "{\"text\":\"gone\"}"),
                 options_for("UTC", v.path()));
  Lines expected;
  for (const std::string& date : window.likely_dates()) {
    expected.push_back(
        tool_result_line(1, "Appended to daily/" + date + ".md", false));
  }
  ASSERT_EQ(r.out_lines().size(), 1U) << r.err;
  EXPECT_NE(std::find(expected.begin(), expected.end(), r.out_lines()[0]),
            expected.end())
      << r.out;
}

TEST(DailyLog, ReportsPermissionDeniedToAnUnprivilegedUser) {
  VESTIGOR_SKIP_UNDER_WINE(
      "uid switching: Wine serves only the user who owns its prefix");
  if (::getuid() != 0) {
    GTEST_SKIP() << "needs root to run the server as another user against "
                    "root-owned folders";
  }
  struct Row {
    const char* name;
    std::function<void(const TempVault&, const std::string& date)> setup;
  };
  const Row rows[] = {
      {"vault not writable: daily cannot be made",
       [](const TempVault&, const std::string&) {}},
      {"daily not writable: the note cannot be made",
       [](const TempVault& v, const std::string&) { v.mkdir("daily"); }},
      {"note not writable",
       [](const TempVault& v, const std::string& date) {
         v.write("daily/" + date + ".md", "# mine\n");
         ::chmod(v.at("daily/" + date + ".md").c_str(), 0644);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempVault v;
    ASSERT_EQ(::chmod(v.path().c_str(), 0755), 0);
    ClockWindow window("UTC");
    for (const std::string& date : window.likely_dates()) {
      row.setup(v, date);
    }
    const Notes before = read_folder(v.at("daily"));
    RunOptions options = options_for("UTC", v.path());
    options.run_as = kUnprivilegedUid;
    expect_failure("Permission denied (os error 13)", options);
    EXPECT_EQ(read_folder(v.at("daily")), before);
  }
}

TEST(DailyLog, RejectsEmptyTextBeforeLookingAtTheVault) {
  const std::string arguments[] = {
      "{}",
      "{\"text\":\"\"}",
      "{\"text\":\" \\t\\n\\u3000\\u00a0\"}",
      "{\"text\":5}",
      "{\"text\":null}",
      "{\"text\":[\"a\"]}",
      "{\"text\":{}}",
      "\"text\"",
      "null",
      "[\"text\"]",
      "{\"Text\":\"a\"}",
  };
  std::string input;
  Lines expected;
  int id = 0;
  for (const std::string& args : arguments) {
    ++id;
    input += tool_call_input(id, "append_daily_log", args);
    expected.push_back(tool_result_line(id, "Error: text is empty", true));
  }
  TempVault v;
  for (const std::optional<std::string>& vault :
       {std::optional<std::string>(v.at("missing")),
        std::optional<std::string>()}) {
    SCOPED_TRACE(vault ? "vault set" : "vault unset");
    RunOptions options = options_for("UTC", vault);
    options.cwd = v.path();
    const RunResult r = run_server(input, options);
    EXPECT_EQ(r.out_lines(), expected);
    EXPECT_FALSE(v.exists("missing"));
    EXPECT_FALSE(v.exists("daily"));
  }
}

TEST(DailyLog, UnsetVaultFailsAndCreatesNothing) {
  TempVault v;
  RunOptions options = options_for("UTC", std::nullopt);
  options.cwd = v.path();
  expect_failure("VESTIGOR_VAULT env var is not set", options);
  EXPECT_FALSE(v.exists("daily"));
}

// Eight servers append 200 entries each to the same note at once. Every
// entry must arrive exactly once, whole, and in its writer's order, and
// the note holds one heading, however the first entries race.
TEST(DailyLogReliability, ConcurrentWritersNeitherLoseNorTearEntries) {
  VESTIGOR_SKIP_UNDER_WINE(
      "concurrent appends: Wine's appends from several processes are not "
      "atomic");
  constexpr int kWriters = 8;
  constexpr int kEntries = 200;
  const auto text_of = [](int writer, int entry) {
    return "writer " + std::to_string(writer) + " entry " +
           std::to_string(entry) + " " +
           std::string(300, static_cast<char>('a' + writer));
  };
  TempVault v;
  std::vector<std::string> inputs(kWriters);
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kEntries; ++i) {
      inputs[w] += tool_call_input(i + 1, "append_daily_log",
                                   string_arguments("text", text_of(w, i)));
    }
  }
  const RunOptions options = options_for("UTC", v.path());
  std::vector<RunResult> results(kWriters);
  ClockWindow window("UTC");
  {
    std::latch ready(kWriters);
    std::vector<std::jthread> threads;
    for (int w = 0; w < kWriters; ++w) {
      threads.emplace_back([&, w] {
        ready.arrive_and_wait();
        results[w] = run_server(inputs[w], options);
      });
    }
  }
  window.close();
  std::set<std::pair<std::string, std::string>> allowed;
  for (const Stamp& s : window.stamps()) {
    allowed.insert({s.date, s.time});
  }
  for (int w = 0; w < kWriters; ++w) {
    SCOPED_TRACE("writer " + std::to_string(w));
    EXPECT_FALSE(results[w].timed_out);
    EXPECT_EQ(results[w].exit_code, 0);
    const Lines out = results[w].out_lines();
    ASSERT_EQ(out.size(), static_cast<std::size_t>(kEntries));
    for (int i = 0; i < kEntries; ++i) {
      bool known = false;
      for (const Stamp& s : window.stamps()) {
        known =
            known ||
            out[i] == tool_result_line(
                          i + 1, "Appended to daily/" + s.date + ".md", false);
      }
      EXPECT_TRUE(known) << out[i];
    }
  }
  std::vector<int> next(kWriters, 0);  // each writer's next expected entry
  int entries = 0;
  int torn = 0;
  int switches = 0;
  int last_writer = -1;
  const Notes notes = read_folder(v.at("daily"));
  ASSERT_FALSE(notes.empty());
  for (const auto& [name, content] : notes) {
    SCOPED_TRACE(name);
    const std::string date = name.substr(0, name.size() - 3);
    const std::string heading = "# " + date;
    ASSERT_TRUE(content.starts_with(heading + "\n\n"));
    ASSERT_TRUE(content.ends_with("\n"));
    const Lines lines = split_lines(content);
    int headings = 0;
    for (std::size_t k = 0; k < lines.size(); ++k) {
      const std::string& line = lines[k];
      if (line == heading && k + 1 < lines.size() && lines[k + 1].empty()) {
        ++headings;
        ++k;
        continue;
      }
      // "- HH:MM writer W entry I <300 letters>"
      int w = -1;
      int i = -1;
      const bool parsed =
          line.size() > 8 && line.starts_with("- ") && line[7] == ' ' &&
          allowed.contains({date, line.substr(2, 5)}) &&
          std::sscanf(line.c_str() + 8, "writer %d entry %d", &w, &i) == 2 &&
          w >= 0 && w < kWriters && i >= 0 && i < kEntries &&
          line.substr(8) == text_of(w, i);
      if (!parsed) {
        if (++torn <= 5) {
          ADD_FAILURE() << "not an intact line: " << line;
        }
        continue;
      }
      if (w != last_writer) {
        ++switches;
        last_writer = w;
      }
      EXPECT_EQ(i, next[w]) << "writer " << w << " lost or reordered entries";
      next[w] = i + 1;
      ++entries;
    }
    // How much the writers overlapped, for the test report.
    ::testing::Test::RecordProperty("headings", headings);
    ::testing::Test::RecordProperty("writer_switches", switches);
    EXPECT_EQ(headings, 1);
  }
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(entries, kWriters * kEntries);
  EXPECT_EQ(next, std::vector<int>(kWriters, kEntries));
}

}  // namespace
}  // namespace vestigor_mcp::testing
