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
  RunResult r = run_server(ping + "\r\n" + ping);
  EXPECT_EQ(r.out, ping_result_line() + "\n" + ping_result_line() + "\n");
  EXPECT_EQ(r.exit_code, 0);

  // A CR that is not directly before the LF stays in the line and is JSON
  // whitespace; CR CR LF keeps one CR.
  r = run_server(ping + "\r\r\n" + ping + " \r \n");
  EXPECT_EQ(r.out, ping_result_line() + "\n" + ping_result_line() + "\n");

  // A CR at the end of input without LF stays too (still whitespace).
  r = run_server(ping + "\r");
  EXPECT_EQ(r.out, ping_result_line() + "\n");

  // A CR inside the value is no terminator: the line does not parse.
  r = run_server("{\"id\":1,\r\"method\":\"ping\"}\r\n");
  EXPECT_EQ(r.out, ping_result_line() + "\n");
  r = run_server("[1\r2]\n");
  EXPECT_EQ(
      r.err_lines().back(),
      "[vestigor-mcp] invalid json: expected `,` or `]` at line 1 column 4");
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

  // Surrogates and overlong forms are not UTF-8 either.
  for (const char* bad :
       {"\"\xED\xA0\x80\"", "\"\xC0\xAF\"", "\"\xF4\x90\x80\x80\""}) {
    const RunResult s = run_server(std::string(bad) + "\n" + ping);
    EXPECT_EQ(s.out, "") << bad;
    EXPECT_EQ(s.err_lines().back(),
              "[vestigor-mcp] stdin error: stream did not contain valid UTF-8");
  }
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
