// handle_line: what one input line gives: a response line or none, and the
// diagnostics, in order. Lines arrive as the line reader hands them over
// (terminator removed, UTF-8 already checked).
#include "protocol/request.hpp"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "support/server_process.hpp"

namespace vestigor_mcp::testing {
namespace {

// handle_line reports through a plain function pointer, so what it reports
// collects here.
Lines& diagnostics() {
  static Lines lines;
  return lines;
}

void collect(std::string_view content) { diagnostics().emplace_back(content); }

struct Exchange {
  Lines out;  // the response lines
  Lines err;  // the diagnostics' contents
};

// Serves `lines` one after another, as the message loop does.
Exchange serve(std::initializer_list<std::string_view> lines) {
  diagnostics().clear();
  Exchange exchange;
  for (const std::string_view line : lines) {
    if (auto response = handle_line(line, collect)) {
      exchange.out.push_back(std::move(*response));
    }
  }
  exchange.err = diagnostics();
  return exchange;
}

TEST(HandleLine, SkipsLinesOfUnicodeWhiteSpaceSilently) {
  const Exchange e = serve({
      "",
      "\t \f \v",
      "\t \f \v\r",                // CR at the end of input
      "\u00A0\u3000\u2028\u0085",  // NBSP, ideographic, LS, NEL
      "{\"id\":1,\"method\":\"ping\"}",
  });
  EXPECT_EQ(e.out, Lines{ping_result_line()});
  EXPECT_EQ(e.err, Lines{"-> ping"});
}

TEST(HandleLine, RejectsLinesThatAreNotOneJsonText) {
  // A request spread over lines is not reassembled: each line fails alone.
  const Exchange e = serve({
      "\f{\"id\":1,\"method\":\"ping\"}",
      "\u00A0{\"id\":1,\"method\":\"ping\"}",
      "{\"id\":1,\"method\":\"ping\"} {\"id\":2,\"method\":\"ping\"}",
      "{",
      "  \"id\": 1,",
      "}",
      "  {\"id\":1,\"method\":\"ping\"}\t",
  });
  EXPECT_EQ(e.out, Lines{ping_result_line()});
  EXPECT_EQ(
      e.err,
      (Lines{"invalid json: expected value at line 1 column 1",
             "invalid json: expected value at line 1 column 1",
             "invalid json: trailing characters at line 1 column 26",
             "invalid json: EOF while parsing an object at line 1 column 1",
             "invalid json: trailing characters at line 1 column 7",
             "invalid json: expected value at line 1 column 1", "-> ping"}));
}

TEST(HandleLine, AnswersOnlyRequestsWithAnId) {
  const Exchange e = serve({
      "{\"jsonrpc\":\"2.0\",\"id\":null,\"method\":\"ping\"}",
      "{\"jsonrpc\":\"2.0\",\"method\":\"no/such\"}",
      "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}",
      "[{\"id\":1,\"method\":\"ping\"}]",
      "\"just a string\"",
      "{\"ID\":3,\"method\":\"ping\"}",
      "{\"id\":4,\"method\":7}",
      "{\"id\":5}",
  });
  EXPECT_EQ(e.out,
            (Lines{ping_result_line("null"),
                   method_not_found_line("4", "\"method not found: \""),
                   method_not_found_line("5", "\"method not found: \"")}));
  EXPECT_EQ(e.err,
            (Lines{"-> ping", "-> no/such", "-> notifications/initialized",
                   "-> ", "-> ", "-> ping", "-> ", "-> "}));
}

TEST(HandleLine, EchoesIdsInTheirReEncodedForm) {
  // Each id as sent, then as echoed: of every kind, written as the JSON
  // writer writes values (its own tests hold the other number forms).
  const std::pair<const char*, const char*> cases[] = {
      {"10", "10"},
      {"1e2", "100.0"},
      {"\"a\\/b\"", "\"a/b\""},
      {"\"\\u00e9\\u001F\"", "\"é\\u001f\""},
      {"true", "true"},
      {"[1, {\"b\":1,\"a\":2}]", "[1,{\"a\":2,\"b\":1}]"},
      {"10", "10"},  // a repeated id is simply answered again
  };
  for (const auto& [sent, echoed] : cases) {
    EXPECT_EQ(serve({ping_line(sent)}).out, Lines{ping_result_line(echoed)})
        << sent;
  }
}

TEST(HandleLine, PassesTheDecodedMethodNameOn) {
  const Exchange e = serve({
      "{\"id\":4,\"method\":\"say \\\"hi\\\" \\\\ \\u00e9\\n\"}",
      "{\"id\":5,\"method\":\"\\u0070ing\"}",
      "{\"id\":6,\"method\":\"ping\",\"params\":[1,2]}",
  });
  EXPECT_EQ(e.out,
            (Lines{method_not_found_line(
                       "4", "\"method not found: say \\\"hi\\\" \\\\ é\\n\""),
                   ping_result_line("5"), ping_result_line("6")}));
  // The diagnostic carries the name unescaped.
  EXPECT_EQ(e.err, (Lines{"-> say \"hi\" \\ é\n", "-> ping", "-> ping"}));
}

TEST(HandleLine, WritesBothEnvelopesInWireOrder) {
  // Members by key: "error" < "id" < "jsonrpc" < "result", whatever the
  // request's order; the id is re-encoded with its own keys sorted.
  const Exchange e = serve({
      "{\"method\":\"initialize\",\"jsonrpc\":\"1.0\",\"id\":{\"z\":[],"
      "\"a\":{}}}",
      "{\"method\":\"nope\",\"id\":{\"z\":[],\"a\":{}}}",
  });
  ASSERT_EQ(e.out.size(), 2U);
  EXPECT_TRUE(e.out[0].starts_with(
      "{\"id\":{\"a\":{},\"z\":[]},\"jsonrpc\":\"2.0\",\"result\":{"))
      << e.out[0];
  EXPECT_EQ(e.out[1], method_not_found_line("{\"a\":{},\"z\":[]}",
                                            "\"method not found: nope\""));
}

}  // namespace
}  // namespace vestigor_mcp::testing
