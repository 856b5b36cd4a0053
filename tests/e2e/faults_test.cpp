// The server under hostile conditions, through the real binary: streams
// that close or fail, huge and deeply nested lines, vaults holding things
// that are not notes, a vault that vanishes, and requests that must be
// rejected without touching the disk. Each run is bounded by a timeout, so
// a server that blocks fails the test instead of hanging it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/json.hpp"
#include "support/files.hpp"
#include "support/live_server.hpp"
#include "support/server_process.hpp"
#include "support/temp_vault.hpp"

namespace vestigor_mcp::testing {
namespace {

namespace fs = std::filesystem;

const std::string kPing = ping_line() + "\n";
const std::string kStart = "[vestigor-mcp] starting on stdio";

// Every daily note of the vault, in name order, concatenated.
std::string daily_notes(const std::string& vault) {
  std::string all;
  for (const auto& [name, content] : read_folder(vault + "/daily")) {
    all += content;
  }
  return all;
}

// The state of everything under `root`, links not followed: kind, mode,
// modification time, and the bytes of files and the targets of links.
// Reads leave it alone; any creation, removal or write shows up in it.
std::map<std::string, std::string> tree_state(const std::string& root) {
  std::map<std::string, std::string> state;
  std::error_code ec;
  const auto describe = [&](const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    std::string s = std::to_string(st.st_mode) + " " +
                    std::to_string(st.st_mtim.tv_sec) + "." +
                    std::to_string(st.st_mtim.tv_nsec) + " ";
    if (S_ISREG(st.st_mode)) {
      s += read_file(path);
    } else if (S_ISLNK(st.st_mode)) {
      s += fs::read_symlink(path, ec).string();
    }
    state[path.substr(root.size())] = s;
  };
  describe(root);
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    describe(it->path().string());
  }
  return state;
}

// A vault of ordinary notes for the runs that need one.
void write_notes(const TempVault& vault) {
  vault.write("current-state.md", "# Now\nalpha is live\n");
  vault.write("agents/memory/open-threads.md", "- [ ] alpha follow-up\n");
  vault.write("projects/alpha.md", "intro\nAlpha plan\n");
}

TEST(Faults, ClosedStdoutKeepsServingAndToolsStillTakeEffect) {
  TempVault vault;
  write_notes(vault);
  RunOptions o = in_vault(vault.path());
  o.close_stdout = true;
  const RunResult r =
      run_server(append_call_input(1, "before the failed writes") + kPing +
                     tool_call_input(2, "search", "{\"query\":\"alpha\"}") +
                     tool_call_input(3, "get_current_state", "{}") +
                     append_call_input(4, "after them"),
                 o);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0);
  // Every request after the lost answers was still read and dispatched.
  EXPECT_EQ(
      r.err_lines(),
      (Lines{kStart, "[vestigor-mcp] -> tools/call", "[vestigor-mcp] -> ping",
             "[vestigor-mcp] -> tools/call", "[vestigor-mcp] -> tools/call",
             "[vestigor-mcp] -> tools/call"}));
  EXPECT_TRUE(
      std::regex_search(daily_notes(vault.path()),
                        std::regex("- \\d\\d:\\d\\d before the failed writes\n"
                                   "- \\d\\d:\\d\\d after them\n$")));
}

TEST(Faults, ClosedStderrStillAnswersOnStdout) {
  TempVault vault;
  write_notes(vault);
  RunOptions o = in_vault(vault.path());
  o.close_stderr = true;
  const RunResult r = run_server(
      kPing + "not json\n" + tool_call_input(2, "get_current_state", "{}"), o);
  EXPECT_EQ(r.out_lines(),
            (Lines{ping_result_line(),
                   tool_result_line(2, "# Now\nalpha is live\n", false)}));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_code, 0);
}

TEST(Faults, FiftyMegabyteLineIsAnsweredWhole) {
  // A tool name that must come back whole inside the error text, with
  // characters that are escaped on the way in and on the way out.
  const std::string piece = std::string(80, 'x') + "ab\"\\/é\x01\n\t";
  std::string escaped_piece;
  json::write_string(piece, escaped_piece);
  const std::size_t pieces = 50'000'000 / (escaped_piece.size() - 2) + 1;
  std::string name;
  name.reserve(pieces * piece.size());
  for (std::size_t i = 0; i < pieces; ++i) {
    name += piece;
  }
  const std::string request = tool_call_line(7, name, "{}") + "\n";
  ASSERT_GT(request.size(), 50'000'000U);
  RunOptions o;
  o.timeout = std::chrono::seconds(240);  // sanitizer builds are slow
  const RunResult r = run_server(request + kPing, o);
  const Lines out = r.out_lines();
  ASSERT_EQ(out.size(), 2U);
  EXPECT_TRUE(out[0] == tool_error_line(7, "unknown tool: " + name))
      << "first 200 bytes: " << out[0].substr(0, 200);
  EXPECT_EQ(out[1], ping_result_line());
  EXPECT_EQ(r.exit_code, 0);
}

TEST(Faults, DeepNestingIsRefusedCleanlyAndServingGoesOn) {
  struct Case {
    std::string opener;
    int column;  // of the 128th opening bracket or brace
  };
  const Case cases[] = {
      {"[", 128}, {"{\"a\":", 5 * 127 + 1}, {"[{\"a\":", 6 * 63 + 2}};
  for (const Case& c : cases) {
    std::string deep;
    for (int i = 0; i < 100'000; ++i) {
      deep += c.opener;
    }
    const RunResult r = run_server(deep + "\n" + kPing);
    EXPECT_EQ(r.out_lines(), Lines{ping_result_line()}) << c.opener;
    EXPECT_EQ(r.err_lines(),
              (Lines{kStart,
                     "[vestigor-mcp] invalid json: recursion limit exceeded at "
                     "line 1 column " +
                         std::to_string(c.column),
                     "[vestigor-mcp] -> ping"}))
        << c.opener;
    EXPECT_EQ(r.exit_code, 0);
  }
}

TEST(Faults, StdinThatCannotBeReadEndsTheRunWithTheOsError) {
  VESTIGOR_SKIP_UNDER_WINE(
      "exact error texts: Windows describes its own error codes");
  TempVault vault;
  const int dir =
      ::open(vault.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dir, 0);
  RunOptions o;
  o.stdin_fd = dir;
  const RunResult r = run_server("", o);
  ::close(dir);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(
      r.err_lines(),
      (Lines{kStart,
             "[vestigor-mcp] stdin error: Is a directory (os error 21)"}));
  EXPECT_EQ(r.exit_code, 0);
}

// Things that are not readable notes, placed where the snapshot tools
// look and so in the search's walk. None may block a reader, hold the
// walk in a loop, or end the server.
struct Hazard {
  const char* name;
  void (*make)(const TempVault& vault, const std::string& relative);
};

const Hazard kHazards[] = {
    {"not UTF-8", [](const TempVault& v,
                     const std::string& p) { v.write(p, "alpha \xFF\xFE\n"); }},
    {"directory", [](const TempVault& v, const std::string& p) { v.mkdir(p); }},
    {"FIFO",
     [](const TempVault& v, const std::string& p) {
       v.mkdir(fs::path(p).parent_path().string());
       ASSERT_EQ(::mkfifo(v.at(p).c_str(), 0644), 0);
     }},
    {"link to itself",
     [](const TempVault& v, const std::string& p) {
       v.symlink(fs::path(p).filename().string(), p);
     }},
    {"links in a ring",
     [](const TempVault& v, const std::string& p) {
       v.symlink(fs::path(p).filename().string() + ".2", p);
       v.symlink(fs::path(p).filename().string(), p + ".2");
     }},
    {"dangling link", [](const TempVault& v,
                         const std::string& p) { v.symlink("missing.md", p); }},
    {"link to its own folder",
     [](const TempVault& v, const std::string& p) { v.symlink(".", p); }},
};

TEST(Faults, ReadingToolsPassOverWhatIsNotAReadableNote) {
  for (const Hazard& hazard : kHazards) {
    SCOPED_TRACE(hazard.name);
    TempVault vault;
    // The state note is spoiled in both places; the threads note only in
    // the first, so the second is found.
    hazard.make(vault, "current-state.md");
    hazard.make(vault, "agents/memory/current-state.md");
    hazard.make(vault, "open-threads.md");
    vault.write("agents/memory/open-threads.md", "threads\n");
    vault.write("a.md", "alpha here\n");
    const RunResult r =
        run_server(snapshot_calls_input() +
                       tool_call_input(3, "search", R"({"query":"alpha"})"),
                   in_vault(vault.path()));
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(
        r.out_lines(),
        (Lines{tool_error_line(1, "no current-state.md found in vault"),
               tool_result_line(2, "threads\n", false),
               tool_result_line(
                   3, "1 file match(es) for \"alpha\":\n\na.md:1: alpha here",
                   false)}));
    EXPECT_EQ(r.exit_code, 0);
  }
}

TEST(Faults, UnreadableNotesAreSkippedByEveryReadingTool) {
  VESTIGOR_SKIP_UNDER_WINE(
      "uid switching: Wine serves only the user who owns its prefix");
  TempVault vault;
  ::chmod(vault.path().c_str(), 0755);
  vault.write("current-state.md", "alpha secret state\n");
  vault.write("agents/memory/current-state.md", "alpha public state\n");
  vault.write("open-threads.md", "alpha secret threads\n");
  vault.write("agents/memory/open-threads.md", "alpha open threads\n");
  vault.write("hidden/alpha.md", "alpha in a closed folder\n");
  vault.write("shut/b.md", "alpha in a folder that cannot be listed\n");
  vault.write("public.md", "alpha for all\n");
  ::chmod(vault.at("current-state.md").c_str(), 0);
  ::chmod(vault.at("open-threads.md").c_str(), 0);
  ::chmod(vault.at("hidden").c_str(), 0);
  ::chmod(vault.at("shut").c_str(), 0311);  // enterable, not listable
  RunOptions o = in_vault(vault.path());
  if (::getuid() == 0) {
    o.run_as = kUnprivilegedUid;  // root reads everything; the server must not
  } else if (::access(vault.at("current-state.md").c_str(), R_OK) == 0) {
    GTEST_SKIP() << "this user can read files whose mode forbids it";
  }
  const RunResult r =
      run_server(snapshot_calls_input() +
                     tool_call_input(3, "search", "{\"query\":\"ALPHA\"}"),
                 o);
  EXPECT_EQ(r.out_lines(),
            (Lines{tool_result_line(1, "alpha public state\n", false),
                   tool_result_line(2, "alpha open threads\n", false),
                   tool_result_line(
                       3,
                       "3 file match(es) for \"ALPHA\":\n\n"
                       "agents/memory/current-state.md:1: alpha public state\n"
                       "agents/memory/open-threads.md:1: alpha open threads\n"
                       "public.md:1: alpha for all",
                       false)}));
  EXPECT_EQ(r.exit_code, 0);
}

TEST(Faults, VaultThatDisappearsBetweenCallsKeepsAnswersWellFormed) {
  TempVault holder;
  const std::string vault = holder.at("vault");
  holder.write("vault/current-state.md", "state\n");
  holder.write("vault/open-threads.md", "threads\n");
  holder.write("vault/notes/alpha.md", "alpha\n");

  // The second half is sent only once the append has answered (its entry
  // is then on disk, folders synced), and after the vault has been
  // removed. Seeing the entry in the note is not enough: the server may
  // still be syncing the folders the vault is about to lose.
  LiveServer server(in_vault(vault));
  ASSERT_TRUE(server.started());
  ASSERT_TRUE(
      server.send(snapshot_calls_input() + append_call_input(3, "marker")));
  Lines out;
  for (int i = 0; i < 3; ++i) {
    const auto line = server.read_line(std::chrono::seconds(20));
    ASSERT_TRUE(line.has_value()) << "answer " << i + 1 << " missing";
    out.push_back(*line);
  }
  std::error_code ec;
  fs::remove_all(vault, ec);
  ASSERT_TRUE(
      server.send(tool_call_input(4, "get_current_state", "{}") +
                  tool_call_input(5, "list_open_threads", "{}") +
                  tool_call_input(6, "search", "{\"query\":\"alpha\"}")));
  server.close_input();
  for (int i = 3; i < 6; ++i) {
    const auto line = server.read_line(std::chrono::seconds(20));
    ASSERT_TRUE(line.has_value()) << "answer " << i + 1 << " missing";
    out.push_back(*line);
  }
  const std::optional<int> exit_code =
      server.wait_exit(std::chrono::seconds(20));

  EXPECT_EQ(out[0], tool_result_line(1, "state\n", false));
  EXPECT_EQ(out[1], tool_result_line(2, "threads\n", false));
  EXPECT_TRUE(out[2].find("Appended to daily/") != std::string::npos) << out[2];
  EXPECT_EQ(out[3], tool_error_line(4, "no current-state.md found in vault"));
  EXPECT_EQ(out[4], tool_result_line(5, "(no open-threads.md yet)", false));
  EXPECT_EQ(out[5], tool_result_line(6, "No matches for \"alpha\".", false));
  EXPECT_FALSE(fs::exists(vault));  // reading never recreates it
  EXPECT_EQ(exit_code, 0);
}

TEST(Faults, RejectedRequestsLeaveTheVaultByteIdentical) {
  TempVault vault;
  write_notes(vault);
  vault.write("daily/2000-01-01.md", "# 2000-01-01\n\n- 10:00 old entry");
  const std::string append = append_call_input(9, "should not land");
  const std::string without_newline = append.substr(0, append.size() - 1);
  std::string deep;
  for (int i = 0; i < 200; ++i) {
    deep += "[";
  }
  const std::string input =
      append_call_input(1, "") + append_call_input(2, " \t\u00A0\u3000\n") +
      tool_call_input(3, "append_daily_log", "{\"text\":42}") +
      tool_call_input(4, "append_daily_log", "\"text\"") +
      tool_call_input(5, "append_daily_log", "{\"Text\":\"wrong key\"}") +
      tool_call_input(6, " append_daily_log", "{\"text\":\"wrong tool\"}") +
      "{\"method\":\"tools/"
      "call\",\"params\":{\"name\":\"append_daily_log\"}}\n" +
      without_newline + " x\n" +                   // trailing characters
      without_newline + without_newline + "\n" +   // two requests, one line
      "{\"id\":10,\"method\":\"tools/call\",\n" +  // spread over two lines
      "\"params\":{\"name\":\"append_daily_log\",\"arguments\":{\"text\":\"t\"}"
      "}}\n" +
      deep + without_newline + "\n" +  // nested too deep
      "{\"id\":11,\"method\":\"tools/"
      "Call\",\"params\":{\"name\":\"append_daily_log\","
      "\"arguments\":{\"text\":\"wrong method\"}}}\n" +
      tool_call_input(12, "search", "{\"query\":\"alpha\"}") +
      snapshot_calls_input() + without_newline.substr(0, 60) + "\xFF" +
      without_newline.substr(60) + "\n" +
      append;  // after the read failure: never read
  const auto before = tree_state(vault.path());
  const RunResult r = run_server(input, in_vault(vault.path()));
  EXPECT_EQ(tree_state(vault.path()), before);
  EXPECT_EQ(r.exit_code, 0);
  const Lines out = r.out_lines();
  ASSERT_EQ(out.size(), 10U) << r.out;
  EXPECT_EQ(out[0], tool_error_line(1, "text is empty"));
  EXPECT_EQ(out[5], tool_error_line(6, "unknown tool:  append_daily_log"));
  EXPECT_EQ(r.err_lines().back(),
            "[vestigor-mcp] stdin error: stream did not contain valid UTF-8");
}

}  // namespace
}  // namespace vestigor_mcp::testing
