// append_daily_log as a client sees it, where only the real server shows
// it: its clock in the zone TZ names (or the system's), notifications, the
// wire, another user's permissions. Stamps are checked against the clock
// around the run (support/daily_note_check.hpp); what the tool writes for a
// given stamp: tests/tools/daily_log_test.cpp; racing writers:
// daily_log_race_test.cpp.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "support/daily_note_check.hpp"
#include "support/files.hpp"
#include "support/server_process.hpp"
#include "support/temp_vault.hpp"

namespace vestigor_mcp::testing {
namespace {

namespace fs = std::filesystem;

RunOptions options_for(const std::string& tz,
                       std::optional<std::string> vault) {
  RunOptions options;
  options.env = {{"TZ", tz}, {"VESTIGOR_VAULT", std::move(vault)}};
  options.timeout = std::chrono::seconds(30);
  return options;
}

// A notification, then a call whose text needs escaping on the wire, into
// a vault without a daily folder: both entries go, in order, stamped by
// the clock in zone `tz`, to a new note that the answer names.
void expect_stamped_in_zone(const std::string& tz, const RunOptions& options,
                            const std::string& vault) {
  const std::string quoted = "a \"quote\", a \\ and  two  blanks";
  const std::string input =
      "{\"jsonrpc\":\"2.0\",\"method\":\"tools/call\",\"params\":{\"name\":"
      "\"append_daily_log\",\"arguments\":{\"text\":\"unanswered\"}}}\n" +
      append_call_input(7, quoted);
  const std::time_t start = std::time(nullptr);
  const RunResult r = run_server(input, options);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0);
  const std::vector<DailyEntry> entries =
      read_daily_entries(vault + "/daily", stamps_since(start, tz));
  ASSERT_EQ(entries.size(), 2U) << r.out << r.err;
  EXPECT_EQ(entries[0].text, "unanswered");
  EXPECT_EQ(entries[1].text, quoted);
  EXPECT_EQ(
      r.out_lines(),
      Lines{tool_result_line(
          7, "Appended to daily/" + entries[1].stamp.date + ".md", false)});
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
    expect_stamped_in_zone(tz, options_for(tz, v.path()), v.path());
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

// A TZ naming a FIFO (or a device) would hang the C library's loading of
// the zone, which opens it blocking: such a zone counts as UTC, and the
// entry goes in at once.
TEST(DailyLog, AZoneFileThatIsNoFileCountsAsUtc) {
  TempVault zones;
  ASSERT_EQ(::mkfifo(zones.at("fifo").c_str(), 0600), 0);
  std::string named = ":";
  named += zones.at("fifo");
  const std::string tzs[] = {zones.at("fifo"), named, "/dev/zero"};
  for (const std::string& tz : tzs) {
    SCOPED_TRACE(tz);
    TempVault v;
    RunOptions options = options_for(tz, v.path());
    options.timeout = std::chrono::seconds(10);
    expect_stamped_in_zone("UTC", options, v.path());
  }
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
    expect_stamped_in_zone("Pacific/Kiritimati", options, v.path());
  }
}

// One call that must fail with `message`; nothing goes to the note.
void expect_failure(const std::string& arguments, const std::string& message,
                    const RunOptions& options) {
  const RunResult r =
      run_server(tool_call_input(1, "append_daily_log", arguments), options);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out_lines(), Lines{tool_error_line(1, message)});
}

TEST(DailyLog, ReportsPermissionDeniedToAnUnprivilegedUser) {
  VESTIGOR_SKIP_UNDER_WINE(
      "uid switching: Wine serves only the user who owns its prefix");
  if (::getuid() != 0) {
    GTEST_SKIP() << "needs root to run the server as another user against "
                    "root-owned folders";
  }
  const std::time_t now = std::time(nullptr);
  const char* const rows[] = {"vault not writable: daily cannot be made",
                              "daily not writable: the note cannot be made",
                              "note not writable"};
  for (int row = 0; row < 3; ++row) {
    SCOPED_TRACE(rows[row]);
    TempVault v;
    ASSERT_EQ(::chmod(v.path().c_str(), 0755), 0);
    if (row >= 1) {
      v.mkdir("daily");
    }
    // The notes a run starting now can use: this day's and, should
    // midnight come within ten minutes, the next.
    for (const std::time_t t : {now, now + 600}) {
      const std::string note = "daily/" + stamp_at(t, "UTC").date + ".md";
      if (row == 2) {
        v.write(note, "# mine\n");
        ::chmod(v.at(note).c_str(), 0644);
      }
    }
    const FolderFiles before = read_folder(v.at("daily"));
    RunOptions options = options_for("UTC", v.path());
    options.run_as = kUnprivilegedUid;
    expect_failure("{\"text\":\"entry\"}", "Permission denied (os error 13)",
                   options);
    EXPECT_EQ(read_folder(v.at("daily")), before);
  }
}

// The wire's row of the argument rule (tests/protocol/tool_call_test.cpp):
// a blank text, escaped as JSON, is refused before the vault is looked at.
TEST(DailyLog, RejectsBlankTextBeforeLookingAtTheVault) {
  TempVault v;
  expect_failure("{\"text\":\" \\t\\n\\u3000\\u00a0\"}", "text is empty",
                 options_for("UTC", v.at("missing")));
  EXPECT_FALSE(v.exists("missing"));
}

}  // namespace
}  // namespace vestigor_mcp::testing
