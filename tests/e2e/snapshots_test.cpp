// tools/call routing and the two snapshot tools, through the binary,
// against real temporary vaults: what only a separate process shows (the
// wire, the environment it inherits, its user and working directory).
// Which candidate note wins is tested on the tools themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/server_process.hpp"
#include "support/temp_vault.hpp"

namespace vestigor_mcp::testing {
namespace {

TEST(ToolCall, ReadsNameAndArgumentsLeniently) {
  // The rule's cases are in protocol/tool_call_test.cpp; here, one row per
  // tool through the wire (the daily log's is with its own tests), and a
  // name that is escaped on its way in and back out.
  TempVault vault;
  vault.write("current-state.md", "top");
  vault.write("agents/memory/open-threads.md", "threads\n");
  const RunResult r = run_server(
      R"({"jsonrpc":"2.0","id":1,"method":"tools/call",)"
      R"("params":{"name":"s\"q\n\u00e9"}})"
      "\n" +
          tool_call_input(2, "search", R"({"query":5})") +
          tool_call_input(3, "search", R"({"query":" \t\u3000"})") +
          tool_call_input(4, "get_current_state", R"({"path":"x"})") +
          tool_call_input(5, "list_open_threads", R"("x")"),
      in_vault(vault.path()));
  EXPECT_EQ(r.out_lines(), (Lines{tool_error_line(1, "unknown tool: s\"q\né"),
                                  tool_error_line(2, "query is empty"),
                                  tool_error_line(3, "query is empty"),
                                  tool_result_line(4, "top", false),
                                  tool_result_line(5, "threads\n", false)}));
  // Tool calls add no diagnostics of their own.
  EXPECT_EQ(r.err_lines().size(), 6U);
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
  Lines expected;
  for (int id = 1; id <= 4; ++id) {
    expected.push_back(
        tool_error_line(id, "VESTIGOR_VAULT env var is not set"));
  }
  EXPECT_EQ(run_server(input).out_lines(), expected);
  EXPECT_EQ(run_server(input, in_vault("/tmp/\xFF\xFEvault")).out_lines(),
            expected);
}

// Windows takes a path after "\\?\" as it stands, '/' included: every
// tool must join its names onto such a vault with backslashes.
TEST(ToolCall, VerbatimWindowsVaultServesEveryTool) {
  if (!kServerUnderWine) {
    GTEST_SKIP() << "a Windows path form";
  }
  TempVault vault;
  vault.write("current-state.md", "state");
  vault.write("agents/memory/open-threads.md", "threads");
  vault.write("projects/alpha.md", "# Alpha\nthe verbatim line\n");
  std::string verbatim = "\\\\?\\Z:" + vault.path();
  std::replace(verbatim.begin(), verbatim.end(), '/', '\\');
  const RunResult r =
      run_server(snapshot_calls_input() +
                     tool_call_input(3, "search", R"({"query":"VERBATIM"})") +
                     append_call_input(4, "an entry"),
                 in_vault(verbatim));
  const Lines out = r.out_lines();
  ASSERT_EQ(out.size(), 4U) << r.out;
  EXPECT_EQ(out[0], tool_result_line(1, "state", false));
  EXPECT_EQ(out[1], tool_result_line(2, "threads", false));
  EXPECT_EQ(out[2], tool_result_line(3,
                                     "1 file match(es) for \"VERBATIM\":\n\n"
                                     "projects/alpha.md:2: the verbatim line",
                                     false));
  EXPECT_NE(out[3].find("Appended to daily/"), std::string::npos) << out[3];
  std::size_t notes = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(vault.path() + "/daily")) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    EXPECT_NE(text.find(" an entry\n"), std::string::npos) << text;
    ++notes;
  }
  EXPECT_EQ(notes, 1U);
}

TEST(Snapshots, ReturnTheNoteByteForByte) {
  TempVault vault;
  const std::string state = "\uFEFF# State\r\n\r\n- café \"quoted\"\t\\\n";
  vault.write("current-state.md", state);
  vault.write("open-threads.md", "");
  EXPECT_EQ(
      run_server(snapshot_calls_input(), in_vault(vault.path())).out_lines(),
      (Lines{tool_result_line(1, state, false),
             tool_result_line(2, "", false)}));
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
