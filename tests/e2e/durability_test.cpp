// An answered append is on disk: the server syncs the note and every
// folder that gained a name for it before it answers, and a sync that
// fails is reported. A preloaded library (tests/support/sync_shim.c)
// records the syncs the server makes and fails them on demand, as a dying
// disk would. It can only reach a dynamically linked server: CMake builds
// it for the dev and asan builds, and these tests skip elsewhere.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/daily_note_check.hpp"
#include "support/files.hpp"
#include "support/server_process.hpp"
#include "support/temp_vault.hpp"

namespace vestigor_mcp::testing {
namespace {

namespace fs = std::filesystem;

std::string canonical(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

// The daily note's name, from an answer "Appended to daily/<date>.md".
std::string note_in_answer(const std::string& line) {
  const std::string marker = "Appended to daily/";
  const std::size_t at = line.find(marker);
  if (at == std::string::npos) {
    return {};
  }
  const std::size_t end = line.find(".md", at);
  return line.substr(at + marker.size(), end + 3 - at - marker.size());
}

// How the shim logs the data sync of the file at `path`.
std::string data_sync_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return "fdatasync inode " + std::to_string(st.st_ino);
}

// The names in `folder`, sorted.
Lines names_in(const std::string& folder) {
  Lines names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class SyncShim : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef VESTIGOR_SYNC_SHIM
    GTEST_SKIP() << "no sync shim in this build: a statically linked "
                    "server (the release build) or a system without "
                    "LD_PRELOAD cannot have its syncs watched or failed";
#endif
  }

  // Options that preload the shim into a server for `vault`, with its log
  // in `log` and the calls in `fail` failing.
  static RunOptions shimmed(const std::string& vault, const std::string& log,
                            const std::string& fail = "") {
    RunOptions options = in_vault(vault);
#ifdef VESTIGOR_SYNC_SHIM
    options.env.emplace_back("LD_PRELOAD", VESTIGOR_SYNC_SHIM);
#endif
    options.env.emplace_back("VESTIGOR_SHIM_LOG", log);
    options.env.emplace_back("VESTIGOR_SHIM_FAIL", fail);
    // A sanitized server wants its runtime first among the preloads; the
    // shim's two functions do not disturb it.
    const char* asan = std::getenv("ASAN_OPTIONS");
    options.env.emplace_back("ASAN_OPTIONS", std::string(asan ? asan : "") +
                                                 ":verify_asan_link_order=0");
    options.timeout = std::chrono::seconds(30);
    return options;
  }

  // The log's lines in sorted order: the syncs of one call may come in any
  // order, provided all come before the answer.
  static Lines sorted_log(const std::string& log) {
    Lines lines = split_lines(read_file(log));
    std::sort(lines.begin(), lines.end());
    ::unlink(log.c_str());
    return lines;
  }
};

TEST_F(SyncShim, SyncsTheNoteAndEveryFolderThatGainedAName) {
  TempVault v;
  const std::string log = v.at("syncs.log");
  const std::string root = canonical(v.path());
  // The vault's two folders and daily/ are made by the first call: the
  // folders holding their names, and daily/ holding the new note, are
  // synced, and the note itself. Nothing else is left in daily/.
  const std::string vault = v.at("new/vault");
  RunResult r = run_server(append_call_input(1, "first"), shimmed(vault, log));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(r.out_lines().size(), 1u);
  const std::string note = note_in_answer(r.out_lines()[0]);
  ASSERT_FALSE(note.empty()) << r.out;
  const std::string daily = root + "/new/vault/daily";
  EXPECT_EQ(sorted_log(log),
            (Lines{data_sync_of(daily + "/" + note), "fsync " + root,
                   "fsync " + root + "/new", "fsync " + root + "/new/vault",
                   "fsync " + daily, "link"}));
  EXPECT_EQ(names_in(daily), Lines{note});

  // The note exists now: an entry needs only its own bytes synced.
  r = run_server(append_call_input(2, "second"), shimmed(vault, log));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  if (note_in_answer(r.out_lines().at(0)) == note) {  // not past midnight
    EXPECT_EQ(sorted_log(log), Lines{data_sync_of(daily + "/" + note)});
  }

  // A new note in a daily folder that exists: the note and its folder.
  fs::remove(daily + "/" + note);
  r = run_server(append_call_input(3, "third"), shimmed(vault, log));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string third = note_in_answer(r.out_lines().at(0));
  EXPECT_EQ(sorted_log(log), (Lines{data_sync_of(daily + "/" + third),
                                    "fsync " + daily, "link"}));
  EXPECT_EQ(names_in(daily), Lines{third});
}

TEST_F(SyncShim, DanglingLinkSyncsTheFolderWhereTheNoteIsMade) {
  TempVault v;
  const std::string log = v.at("syncs.log");
  const std::string root = canonical(v.path());
  v.mkdir("vault/daily");
  v.mkdir("elsewhere");
  for (const std::string& date : likely_dates("UTC")) {
    v.symlink(root + "/elsewhere/" + date + ".md",
              "vault/daily/" + date + ".md");
  }
  const RunResult r =
      run_server(append_call_input(1, "linked"), shimmed(v.at("vault"), log));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string note = note_in_answer(r.out_lines().at(0));
  ASSERT_FALSE(note.empty()) << r.out;
  EXPECT_EQ(sorted_log(log), (Lines{data_sync_of(root + "/elsewhere/" + note),
                                    "fsync " + root + "/elsewhere"}));
  const std::string content = read_file(root + "/elsewhere/" + note);
  EXPECT_TRUE(
      content.starts_with("# " + note.substr(0, note.size() - 3) + "\n\n- "))
      << content;
  EXPECT_TRUE(content.ends_with(" linked\n")) << content;
}

// The answer is the sync's I/O error text. An entry for a note that was
// there went in before the sync failed: a client that retries may log it
// twice, but never loses it. A day's first entry is synced under a hidden
// name before it is linked into place, so a failed data sync leaves no
// note at all, and nothing else either.
TEST_F(SyncShim, FailingSyncIsReportedAndTheEntryMayStillBeInTheNote) {
  enum class Left { kEntryInNote, kNothing };
  struct Row {
    const char* name;
    const char* fail;
    bool note_exists;
    Left left;
  };
  const Row rows[] = {
      {"note's data, existing note", "fdatasync", true, Left::kEntryInNote},
      {"note's data, new note", "fdatasync", false, Left::kNothing},
      {"new note's folder", "fsync", false, Left::kEntryInNote},
      {"both, new note", "fdatasync,fsync", false, Left::kNothing},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempVault v;
    const std::string log = v.at("syncs.log");
    v.mkdir("vault/daily");
    if (row.note_exists) {
      const RunResult first =
          run_server(append_call_input(1, "kept"), shimmed(v.at("vault"), log));
      ASSERT_FALSE(note_in_answer(first.out_lines().at(0)).empty())
          << first.out;
    }
    const RunResult r = run_server(append_call_input(2, "entry"),
                                   shimmed(v.at("vault"), log, row.fail));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out_lines(),
              Lines{tool_error_line(2, "Input/output error (os error 5)")});
    const Lines names = names_in(v.at("vault/daily"));
    if (row.left == Left::kNothing) {
      EXPECT_EQ(names, Lines{});
      continue;
    }
    ASSERT_EQ(names.size(), 1u) << "a note, and nothing else";
    const std::string content = read_file(v.at("vault/daily/" + names[0]));
    EXPECT_TRUE(content.starts_with("# ")) << content;
    EXPECT_TRUE(content.ends_with(" entry\n")) << content;
  }
}

// Where the file system has no hard links, a new note is created in
// place instead, and still synced with its folder.
TEST_F(SyncShim, WithoutHardLinksTheNoteIsMadeInPlace) {
  TempVault v;
  const std::string log = v.at("syncs.log");
  const std::string root = canonical(v.path());
  v.mkdir("vault/daily");
  const RunResult r =
      run_server(append_call_input(1, "first") + append_call_input(2, "second"),
                 shimmed(v.at("vault"), log, "link,renameat2"));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(r.out_lines().size(), 2u);
  const std::string note = note_in_answer(r.out_lines()[0]);
  ASSERT_FALSE(note.empty()) << r.out;
  const std::string daily = root + "/vault/daily";
  if (note_in_answer(r.out_lines()[1]) != note) {
    return;  // past midnight between the two: nothing more to compare
  }
  EXPECT_EQ(names_in(daily), Lines{note});
  const Lines lines = split_lines(read_file(daily + "/" + note));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "# " + note.substr(0, 10));
  EXPECT_EQ(lines[1], "");
  EXPECT_TRUE(lines[2].starts_with("- ") && lines[2].ends_with(" first"));
  EXPECT_TRUE(lines[3].starts_with("- ") && lines[3].ends_with(" second"));
  // The link and the rename were tried and refused; the note (once per
  // entry) and its
  // folder were synced, and the hidden file tried first (whose inode the
  // note may have taken over).
  const Lines syncs = sorted_log(log);
  EXPECT_EQ(std::count(syncs.begin(), syncs.end(), "link"), 1);
  EXPECT_EQ(std::count(syncs.begin(), syncs.end(), "fsync " + daily), 1);
  EXPECT_GE(
      std::count(syncs.begin(), syncs.end(), data_sync_of(daily + "/" + note)),
      2);
  EXPECT_EQ(std::count_if(syncs.begin(), syncs.end(),
                          [](const std::string& line) {
                            return line.starts_with("fdatasync ");
                          }),
            3);
}

// A failed sync leaves the server serving: the next calls, on a disk that
// has recovered, succeed.
TEST_F(SyncShim, ServerGoesOnAfterAFailedSync) {
  TempVault v;
  const std::string log = v.at("syncs.log");
  RunResult r =
      run_server(append_call_input(1, "a") + append_call_input(2, "b"),
                 shimmed(v.at("vault"), log, "fdatasync"));
  EXPECT_EQ(r.exit_code, 0);
  ASSERT_EQ(r.out_lines().size(), 2u);
  for (const std::string& line : r.out_lines()) {
    EXPECT_NE(line.find("Input/output error (os error 5)"), std::string::npos);
  }
  r = run_server(append_call_input(3, "c"), shimmed(v.at("vault"), log));
  ASSERT_EQ(r.out_lines().size(), 1u);
  EXPECT_FALSE(note_in_answer(r.out_lines()[0]).empty()) << r.out;
}

}  // namespace
}  // namespace vestigor_mcp::testing
