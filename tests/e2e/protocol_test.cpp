// The message loop and the protocol's own methods as a client sees them:
// bytes in, lines out, diagnostics and exit status.
#include <gtest/gtest.h>

#include <string>

#include "support/files.hpp"
#include "support/server_process.hpp"

namespace vestigor_mcp::testing {
namespace {

const std::string kPingAnswer = ping_result_line();

TEST(MessageLoop, AnswersTheExampleExchange) {
  const RunResult r = run_server(
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n"
      "{\"jsonrpc\":\"2.0\",\"method\":\"ping\"}\n"
      "{\"jsonrpc\":\"2.0\",\"id\":\"a\"}\n"
      "{} x\n"
      "   \t  \n");
  EXPECT_EQ(r.out_lines(),
            (Lines{kPingAnswer,
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
  EXPECT_EQ(r.out, kPingAnswer + "\n" + kPingAnswer + "\n");
  EXPECT_EQ(r.exit_code, 0);

  // A CR that is not directly before the LF stays in the line and is JSON
  // whitespace; CR CR LF keeps one CR.
  r = run_server(ping + "\r\r\n" + ping + " \r \n");
  EXPECT_EQ(r.out, kPingAnswer + "\n" + kPingAnswer + "\n");

  // A CR at the end of input without LF stays too (still whitespace).
  r = run_server(ping + "\r");
  EXPECT_EQ(r.out, kPingAnswer + "\n");

  // A CR inside the value is no terminator: the line does not parse.
  r = run_server("{\"id\":1,\r\"method\":\"ping\"}\r\n");
  EXPECT_EQ(r.out, kPingAnswer + "\n");
  r = run_server("[1\r2]\n");
  EXPECT_EQ(
      r.err_lines().back(),
      "[vestigor-mcp] invalid json: expected `,` or `]` at line 1 column 4");
}

TEST(MessageLoop, SkipsLinesOfUnicodeWhiteSpaceSilently) {
  const RunResult r = run_server(
      "\n"
      "\t \f \v\r\n"
      "\xC2\xA0\xE3\x80\x80\xE2\x80\xA8\xC2\x85\n"  // NBSP, ideographic, LS,
                                                    // NEL
      "{\"id\":1,\"method\":\"ping\"}\n");
  EXPECT_EQ(r.out, kPingAnswer + "\n");
  EXPECT_EQ(r.err,
            "[vestigor-mcp] starting on stdio\n[vestigor-mcp] -> ping\n");
}

TEST(MessageLoop, RejectsLinesThatAreNotOneJsonText) {
  const RunResult r = run_server(
      "\f{\"id\":1,\"method\":\"ping\"}\n"
      "\xC2\xA0{\"id\":1,\"method\":\"ping\"}\n"
      "{\"id\":1,\"method\":\"ping\"} {\"id\":2,\"method\":\"ping\"}\n"
      "{\n"
      "  \"id\": 1,\n"
      "}\n"
      "  {\"id\":1,\"method\":\"ping\"}\t\n");
  EXPECT_EQ(r.out, kPingAnswer + "\n");
  EXPECT_EQ(
      r.err_lines(),
      (Lines{
          "[vestigor-mcp] starting on stdio",
          "[vestigor-mcp] invalid json: expected value at line 1 column 1",
          "[vestigor-mcp] invalid json: expected value at line 1 column 1",
          "[vestigor-mcp] invalid json: trailing characters at line 1 column "
          "26",
          "[vestigor-mcp] invalid json: EOF while parsing an object at line 1 "
          "column 1",
          "[vestigor-mcp] invalid json: trailing characters at line 1 column 7",
          "[vestigor-mcp] invalid json: expected value at line 1 column 1",
          "[vestigor-mcp] -> ping"}));
}

TEST(MessageLoop, InvalidUtf8EndsTheRunAfterEarlierRequests) {
  const std::string ping = "{\"id\":1,\"method\":\"ping\"}\n";
  const RunResult r =
      run_server(ping + "{\"id\":2,\"method\":\"p\xFFing\"}\n" + ping);
  EXPECT_EQ(r.out, kPingAnswer + "\n");
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

TEST(MessageLoop, AnswersOnlyRequestsWithAnId) {
  const RunResult r = run_server(
      "{\"jsonrpc\":\"2.0\",\"id\":null,\"method\":\"ping\"}\n"
      "{\"jsonrpc\":\"2.0\",\"method\":\"no/such\"}\n"
      "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}\n"
      "[{\"id\":1,\"method\":\"ping\"}]\n"
      "\"just a string\"\n"
      "{\"ID\":3,\"method\":\"ping\"}\n"
      "{\"id\":4,\"method\":7}\n"
      "{\"id\":5}\n");
  EXPECT_EQ(r.out_lines(),
            (Lines{"{\"id\":null,\"jsonrpc\":\"2.0\",\"result\":{}}",
                   method_not_found_line("4", "\"method not found: \""),
                   method_not_found_line("5", "\"method not found: \"")}));
  EXPECT_EQ(r.err_lines(),
            (Lines{"[vestigor-mcp] starting on stdio", "[vestigor-mcp] -> ping",
                   "[vestigor-mcp] -> no/such",
                   "[vestigor-mcp] -> notifications/initialized",
                   "[vestigor-mcp] -> ", "[vestigor-mcp] -> ",
                   "[vestigor-mcp] -> ping", "[vestigor-mcp] -> ",
                   "[vestigor-mcp] -> "}));
}

TEST(MessageLoop, EchoesIdsInTheirReEncodedForm) {
  struct Case {
    const char* sent;
    const char* echoed;
  };
  const Case cases[] = {
      {"10", "10"},
      {"1.0", "1.0"},
      {"1e2", "100.0"},
      {"-0", "-0.0"},
      {"-7", "-7"},
      {"\"a\\/b\"", "\"a/b\""},
      {"\"\\u00e9\\u001F\"", "\"\xC3\xA9\\u001f\""},
      {"true", "true"},
      {"[1, {\"b\":1,\"a\":2}]", "[1,{\"a\":2,\"b\":1}]"},
      {"18446744073709551616", "1.8446744073709552e+19"},
  };
  std::string input;
  Lines expected;
  for (const Case& c : cases) {
    input += "{\"id\":" + std::string(c.sent) + ",\"method\":\"ping\"}\n";
    expected.push_back("{\"id\":" + std::string(c.echoed) +
                       ",\"jsonrpc\":\"2.0\",\"result\":{}}");
  }
  // A repeated id is simply answered again.
  input += "{\"id\":10,\"method\":\"ping\"}\n";
  expected.push_back("{\"id\":10,\"jsonrpc\":\"2.0\",\"result\":{}}");
  EXPECT_EQ(run_server(input).out_lines(), expected);
}

TEST(Dispatch, MatchesMethodNamesExactly) {
  const RunResult r = run_server(
      "{\"id\":1,\"method\":\"Ping\"}\n"
      "{\"id\":2,\"method\":\" ping\"}\n"
      "{\"id\":3,\"method\":\"resources/list\"}\n"
      "{\"id\":4,\"method\":\"say \\\"hi\\\" \\\\ \\u00e9\\n\"}\n"
      "{\"id\":5,\"method\":\"\\u0070ing\"}\n"
      "{\"id\":6,\"method\":\"ping\",\"params\":[1,2]}\n");
  EXPECT_EQ(
      r.out_lines(),
      (Lines{method_not_found_line("1", "\"method not found: Ping\""),
             method_not_found_line("2", "\"method not found:  ping\""),
             method_not_found_line("3", "\"method not found: resources/list\""),
             method_not_found_line(
                 "4", "\"method not found: say \\\"hi\\\" \\\\ \xC3\xA9\\n\""),
             "{\"id\":5,\"jsonrpc\":\"2.0\",\"result\":{}}",
             "{\"id\":6,\"jsonrpc\":\"2.0\",\"result\":{}}"}));
  // The diagnostic carries the name unescaped.
  EXPECT_EQ(r.err_lines()[4], "[vestigor-mcp] -> say \"hi\" \\ \xC3\xA9");
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
