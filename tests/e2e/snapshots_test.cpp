// tools/call routing and the two snapshot tools, through the binary,
// against real temporary vaults: what only a separate process shows (the
// wire, the environment it inherits, its user and working directory).
// Which candidate note wins is tested on the tools themselves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/server_process.hpp"
#include "support/temp_vault.hpp"

namespace vestigor_mcp::testing {
namespace {

// A tools/call request with raw JSON params, or none.
std::string call_line(std::string_view params_json, int id = 1) {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) +
         ",\"method\":\"tools/call\"" +
         (params_json.empty() ? ""
                              : ",\"params\":" + std::string(params_json)) +
         "}\n";
}

TEST(ToolCall, ReadsNameAndArgumentsLeniently) {
  // None of these consult the vault, so an unset one changes nothing.
  const RunResult r = run_server(
      call_line("") +                                    // no params
      call_line("[\"search\"]", 2) +                     // params not an object
      call_line("{\"name\":7}", 3) +                     // name not a string
      call_line("{\"name\":\"Search\"}", 4) +            // case matters
      call_line("{\"name\":\" search\"}", 5) +           // blanks matter
      call_line("{\"name\":\"s\\\"q\\n\\u00e9\"}", 6) +  // escaped on the wire
      call_line("{\"name\":\"search\"}", 7) +            // no arguments
      call_line("{\"name\":\"search\",\"arguments\":null}", 8) +
      call_line("{\"name\":\"search\",\"arguments\":\"query\"}", 9) +
      call_line("{\"name\":\"search\",\"arguments\":{\"query\":5}}", 10) +
      call_line(
          "{\"name\":\"search\",\"arguments\":{\"query\":\" \\t\\u3000\"}}",
          11) +
      call_line("{\"name\":\"append_daily_log\",\"arguments\":[\"text\"]}",
                12) +
      call_line("{\"name\":\"append_daily_log\",\"arguments\":{\"text\":null}}",
                13));
  EXPECT_EQ(
      r.out_lines(),
      (Lines{tool_result_line(1, "Error: unknown tool: ", true),
             tool_result_line(2, "Error: unknown tool: ", true),
             tool_result_line(3, "Error: unknown tool: ", true),
             tool_result_line(4, "Error: unknown tool: Search", true),
             tool_result_line(5, "Error: unknown tool:  search", true),
             tool_result_line(6, "Error: unknown tool: s\"q\n\xC3\xA9", true),
             tool_result_line(7, "Error: query is empty", true),
             tool_result_line(8, "Error: query is empty", true),
             tool_result_line(9, "Error: query is empty", true),
             tool_result_line(10, "Error: query is empty", true),
             tool_result_line(11, "Error: query is empty", true),
             tool_result_line(12, "Error: text is empty", true),
             tool_result_line(13, "Error: text is empty", true)}));
  // Tool calls add no diagnostics of their own.
  EXPECT_EQ(r.err_lines().size(), 14u);
  EXPECT_EQ(r.exit_code, 0);
}

TEST(ToolCall, UnsetOrNonUtf8VaultIsReportedByEveryVaultTool) {
  VESTIGOR_SKIP_UNDER_WINE(
      "Wine hands a Windows program its environment with invalid UTF-8 already "
      "replaced");
  const std::string input =
      snapshot_calls_input() +
      tool_call_input(3, "search", "{\"query\":\"x\"}") +
      tool_call_input(4, "append_daily_log", "{\"text\":\"x\"}");
  const Lines expected = {
      tool_result_line(1, "Error: VESTIGOR_VAULT env var is not set", true),
      tool_result_line(2, "Error: VESTIGOR_VAULT env var is not set", true),
      tool_result_line(3, "Error: VESTIGOR_VAULT env var is not set", true),
      tool_result_line(4, "Error: VESTIGOR_VAULT env var is not set", true)};
  EXPECT_EQ(run_server(input).out_lines(), expected);
  EXPECT_EQ(run_server(input, in_vault("/tmp/\xFF\xFEvault")).out_lines(),
            expected);
}

TEST(Snapshots, ReturnTheNoteByteForByte) {
  TempVault vault;
  const std::string state =
      "\xEF\xBB\xBF# State\r\n\r\n- caf\xC3\xA9 \"quoted\"\t\\\n";
  vault.write("current-state.md", state);
  vault.write("open-threads.md", "");
  EXPECT_EQ(
      run_server(snapshot_calls_input(), in_vault(vault.path())).out_lines(),
      (Lines{tool_result_line(1, state, false),
             tool_result_line(2, "", false)}));
}

TEST(Snapshots, FollowLinksButNeverBlockOnAFifo) {
  TempVault vault;
  vault.write("elsewhere/state.md", "linked state");
  vault.symlink(vault.at("elsewhere/state.md"), "current-state.md");
  ASSERT_EQ(::mkfifo(vault.at("open-threads.md").c_str(), 0644), 0);
  vault.write("agents/memory/open-threads.md", "threads");
  EXPECT_EQ(
      run_server(snapshot_calls_input(), in_vault(vault.path())).out_lines(),
      (Lines{tool_result_line(1, "linked state", false),
             tool_result_line(2, "threads", false)}));
}

TEST(Snapshots, SkipANoteThatPermissionsHide) {
  VESTIGOR_SKIP_UNDER_WINE(
      "uid switching: Wine serves only the user who owns its prefix");
  if (::getuid() != 0) {
    GTEST_SKIP() << "needs root to run the server as another user";
  }
  TempVault vault;
  ::chmod(vault.path().c_str(), 0755);
  vault.write("current-state.md", "secret");
  ::chmod(vault.at("current-state.md").c_str(), 0600);
  vault.write("agents/memory/current-state.md", "public");
  ::chmod(vault.at("agents").c_str(), 0755);
  ::chmod(vault.at("agents/memory").c_str(), 0755);
  ::chmod(vault.at("agents/memory/current-state.md").c_str(), 0644);
  RunOptions o = in_vault(vault.path());
  o.run_as = kUnprivilegedUid;
  const Lines answers = run_server(snapshot_calls_input(), o).out_lines();
  ASSERT_FALSE(answers.empty());
  EXPECT_EQ(answers[0], tool_result_line(1, "public", false));
}

TEST(Snapshots, EmptyVaultPathMeansTheWorkingDirectory) {
  TempVault vault;
  vault.write("current-state.md", "from cwd");
  vault.write("agents/memory/open-threads.md", "threads in cwd");
  RunOptions o = in_vault("");
  o.cwd = vault.path();
  EXPECT_EQ(run_server(snapshot_calls_input(), o).out_lines(),
            (Lines{tool_result_line(1, "from cwd", false),
                   tool_result_line(2, "threads in cwd", false)}));
}

}  // namespace
}  // namespace vestigor_mcp::testing
