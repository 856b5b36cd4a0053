// The first entries of a new day, made by several servers at the same
// moment: the note is created by exactly one of them, so it holds exactly
// one heading, at its top, and every entry arrives once and whole. Each
// round uses a fresh vault, so every round races for a note that does not
// exist yet.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/files.hpp"
#include "support/live_server.hpp"
#include "support/server_process.hpp"
#include "support/temp_vault.hpp"

namespace vestigor_mcp::testing {
namespace {

using std::chrono::seconds;

constexpr int kRounds = 50;
constexpr int kWriters = 8;
constexpr int kEntries = 3;

std::string entry_text(int writer, int entry) {
  return "writer " + std::to_string(writer) + " entry " + std::to_string(entry);
}

// One round; failures are recorded with the round's number.
void race_once(int round) {
  SCOPED_TRACE("round " + std::to_string(round));
  TempVault v;
  RunOptions options = in_vault(v.path());
  std::vector<std::unique_ptr<LiveServer>> servers;
  for (int w = 0; w < kWriters; ++w) {
    servers.push_back(std::make_unique<LiveServer>(options));
    ASSERT_TRUE(servers.back()->started());
  }
  // Every server is in its loop, waiting for input, before any request
  // goes out; then all first requests go out back to back.
  for (auto& server : servers) {
    ASSERT_TRUE(server->wait_for_stderr("starting on stdio", seconds(10)));
  }
  for (int i = 0; i < kEntries; ++i) {
    for (int w = 0; w < kWriters; ++w) {
      ASSERT_TRUE(servers[w]->send(
          tool_call_line(i + 1, "append_daily_log",
                         "{\"text\":\"" + entry_text(w, i) + "\"}") +
          "\n"));
    }
  }
  std::map<std::string, int> answered;  // note name -> entries it took
  for (int w = 0; w < kWriters; ++w) {
    servers[w]->close_input();
    for (int i = 0; i < kEntries; ++i) {
      const auto line = servers[w]->read_line(seconds(30));
      ASSERT_TRUE(line.has_value()) << "writer " << w << " gave no answer";
      const std::size_t at = line->find("Appended to daily/");
      ASSERT_NE(at, std::string::npos) << *line;
      ++answered[line->substr(at + 18, 13)];
    }
    EXPECT_EQ(servers[w]->wait_exit(seconds(10)), 0);
  }

  int entries = 0;
  for (const auto& [name, count] : answered) {
    SCOPED_TRACE(name);
    const std::string date = name.substr(0, 10);
    const std::vector<std::string> lines =
        split_lines(read_file(v.at("daily/" + name)));
    std::vector<int> next(kWriters, 0);  // each writer's next entry
    int headings = 0;
    int found = 0;
    for (std::size_t k = 0; k < lines.size(); ++k) {
      if (lines[k] == "# " + date) {
        ++headings;
        EXPECT_EQ(k, 0u) << "an entry came before the heading";
        EXPECT_TRUE(k + 1 < lines.size() && lines[k + 1].empty());
        ++k;
        continue;
      }
      int w = -1;
      int i = -1;
      // "- HH:MM writer W entry I", nothing more and nothing less.
      const bool whole = lines[k].size() > 8 && lines[k].starts_with("- ") &&
                         lines[k][7] == ' ' &&
                         std::sscanf(lines[k].c_str() + 8, "writer %d entry %d",
                                     &w, &i) == 2 &&
                         w >= 0 && w < kWriters &&
                         lines[k].substr(8) == entry_text(w, i);
      ASSERT_TRUE(whole) << "not a whole entry: " << lines[k];
      EXPECT_EQ(i, next[w]) << "writer " << w << " lost or reordered";
      next[w] = i + 1;
      ++found;
    }
    EXPECT_EQ(headings, 1);
    EXPECT_EQ(found, count);
    entries += found;
  }
  EXPECT_EQ(entries, kWriters * kEntries);
}

TEST(DailyLogRace, NewDayRacedByEightServersGetsOneHeadingAtTheTop) {
  VESTIGOR_SKIP_UNDER_WINE(
      "concurrent appends: Wine's appends from several processes are not "
      "atomic");
  for (int round = 0; round < kRounds && !HasFailure(); ++round) {
    race_once(round);
  }
}

}  // namespace
}  // namespace vestigor_mcp::testing
