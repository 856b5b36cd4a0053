// The message loop as a client sees it: bytes in, lines out, exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/server_process.hpp"

namespace vestigor_mcp::testing {
namespace {

using Lines = std::vector<std::string>;

TEST(MessageLoop, AnswersTheExampleExchange) {
  const RunResult r = run_server(
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n"
      "{\"jsonrpc\":\"2.0\",\"method\":\"ping\"}\n"
      "{\"jsonrpc\":\"2.0\",\"id\":\"a\"}\n"
      "{} x\n"
      "   \t  \n");
  EXPECT_EQ(r.out_lines(),
            (Lines{"{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}",
                   "{\"error\":{\"code\":-32601,\"message\":\"method not found: "
                   "\"},\"id\":\"a\",\"jsonrpc\":\"2.0\"}"}));
  EXPECT_EQ(r.err, "[vestigor-mcp] starting on stdio\n"
                   "[vestigor-mcp] -> ping\n"
                   "[vestigor-mcp] -> ping\n"
                   "[vestigor-mcp] -> \n"
                   "[vestigor-mcp] invalid json: trailing characters at line 1 "
                   "column 4\n");
  EXPECT_EQ(r.exit_code, 0);
}

}  // namespace
}  // namespace vestigor_mcp::testing
