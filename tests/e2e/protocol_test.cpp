// The message loop and the protocol's own methods as a client sees them:
// bytes in, lines out, diagnostics and exit status. What one line gives
// (diagnostics, ids, envelopes) is tested on handle_line itself.
#include <gtest/gtest.h>

#include <string>

#include "support/files.hpp"
#include "support/server_process.hpp"

namespace vestigor_mcp::testing {
namespace {

TEST(MessageLoop, AnswersTheExampleExchange) {
  const RunResult r = run_server(
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n"
      "{\"jsonrpc\":\"2.0\",\"method\":\"ping\"}\n"
      "{\"jsonrpc\":\"2.0\",\"id\":\"a\"}\n"
      "{} x\n"
      "   \t  \n");
  EXPECT_EQ(r.out_lines(),
            (Lines{ping_result_line(),
                   method_not_found_line("\"a\"", "\"method not found: \"")}));
  EXPECT_EQ(r.err,
            "[vestigor-mcp] starting on stdio\n"
            "[vestigor-mcp] -> ping\n"
            "[vestigor-mcp] -> ping\n"
            "[vestigor-mcp] -> \n"
            "[vestigor-mcp] invalid json: trailing characters at line 1 "
            "column 4\n");
  EXPECT_EQ(r.exit_code, 0);
}

TEST(MessageLoop, EmptyInputOnlyAnnouncesItself) {
  const RunResult r = run_server("");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "[vestigor-mcp] starting on stdio\n");
  EXPECT_EQ(r.exit_code, 0);
}

TEST(MessageLoop, TreatsLineEndingsAsSpecified) {
  const std::string ping = "{\"id\":1,\"method\":\"ping\"}";
  // CR LF is one terminator; a last line without LF is still answered.
  const RunResult r = run_server(ping + "\r\n" + ping);
  EXPECT_EQ(r.out, ping_result_line() + "\n" + ping_result_line() + "\n");
  EXPECT_EQ(r.exit_code, 0);
  // Where any other CR stays in the line: the line reader's and the JSON
  // parser's tests (a CR is JSON whitespace).
}

TEST(MessageLoop, InvalidUtf8EndsTheRunAfterEarlierRequests) {
  const std::string ping = "{\"id\":1,\"method\":\"ping\"}\n";
  const RunResult r =
      run_server(ping + "{\"id\":2,\"method\":\"p\xFFing\"}\n" + ping);
  EXPECT_EQ(r.out, ping_result_line() + "\n");
  EXPECT_EQ(
      r.err_lines(),
      (Lines{
          "[vestigor-mcp] starting on stdio", "[vestigor-mcp] -> ping",
          "[vestigor-mcp] stdin error: stream did not contain valid UTF-8"}));
  EXPECT_EQ(r.exit_code, 0);
  // Which byte sequences are UTF-8 (surrogates and overlong forms are
  // not): is_valid_utf8's table.
}

TEST(Dispatch, InitializeAndToolsListAreConstant) {
  const std::string init_result = golden("initialize.json");
  const std::string tools = golden("tools_list.json");
  const RunResult r = run_server(
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"initialize\",\"params\":"
      "{\"protocolVersion\":\"2099-01-01\",\"capabilities\":{},\"clientInfo\":"
      "{\"name\":\"t\",\"version\":\"1\"}}}\n"
      "{\"id\":2,\"method\":\"initialize\"}\n"
      "{\"id\":3,\"method\":\"tools/list\",\"params\":{\"cursor\":\"x\"}}\n"
      "{\"id\":4,\"method\":\"tools/list\"}\n");
  EXPECT_EQ(r.out_lines(),
            (Lines{result_line("1", init_result), result_line("2", init_result),
                   result_line("3", tools), result_line("4", tools)}));
}

}  // namespace
}  // namespace vestigor_mcp::testing
