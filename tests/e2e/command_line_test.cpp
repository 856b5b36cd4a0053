// The arguments a person may give the installed command: --version and
// --help answer at once with stdin left open (nothing is read), and any
// other argument leaves the server serving as hosts start it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/live_server.hpp"
#include "support/server_process.hpp"

namespace vestigor_mcp::testing {
namespace {

using std::chrono::seconds;

struct AnswerCase {
  std::vector<std::string> args;
  bool usage;  // the usage text, else the version line
};

TEST(CommandLine, AnswersWithoutReadingStdin) {
  const AnswerCase cases[] = {
      {{"--version"}, false},
      {{"--help"}, true},
      {{"-h"}, true},
      {{"stray", "--version", "--help"}, false},  // the first one counts
      {{"--help", "--version"}, true},
  };
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(c.args.front() + " ...");
    RunOptions options;
    options.args = c.args;
    LiveServer server(options);
    ASSERT_TRUE(server.started()) << server.start_error();
    // stdin stays open: a server that read it would never end.
    EXPECT_EQ(server.wait_exit(seconds(20)), 0);
    const std::string out = server.take_out();
    if (c.usage) {
      EXPECT_TRUE(out.starts_with("usage: vestigor-mcp")) << out;
      EXPECT_NE(out.find("VESTIGOR_VAULT"), std::string::npos) << out;
      EXPECT_NE(out.find("README"), std::string::npos) << out;
      EXPECT_TRUE(out.ends_with("\n")) << out;
    } else {
      // The Windows console may end the line with CR LF.
      EXPECT_TRUE(out == "vestigor-mcp 0.1.0\n" ||
                  out == "vestigor-mcp 0.1.0\r\n")
          << out;
    }
    EXPECT_EQ(server.err(), "");  // not started: no "starting on stdio"
  }
}

TEST(CommandLine, OtherArgumentsAreIgnored) {
  RunOptions options;
  options.args = {"--verbose", "version", "-"};
  LiveServer server(options);
  ASSERT_TRUE(server.started()) << server.start_error();
  ASSERT_TRUE(server.send(ping_line() + "\n"));
  EXPECT_EQ(server.read_line(seconds(20)), ping_result_line());
  server.close_input();
  EXPECT_EQ(server.wait_exit(seconds(20)), 0);
  EXPECT_TRUE(server.err().starts_with("[vestigor-mcp] starting on stdio\n"))
      << server.err();
}

}  // namespace
}  // namespace vestigor_mcp::testing
