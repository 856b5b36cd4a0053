// A person typing requests into a terminal. Ctrl-D ends a terminal's input
// on an empty line; after some typing it hands over what was typed, and
// pressed again it makes a read return nothing while the line is still
// unfinished. Either way the first read that returns nothing ends the
// run, after the unfinished line is answered: one Ctrl-D more, as in any
// program that reads lines.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/live_server.hpp"
#include "support/pseudo_terminal.hpp"
#include "support/server_process.hpp"

namespace vestigor_mcp::testing {
namespace {

using std::chrono::seconds;

TEST(Terminal, CtrlDOnNothingTypedEndsTheRun) {
  VESTIGOR_SKIP_UNDER_WINE(
      "pseudo-terminals: Wine gives a Windows program no terminal line "
      "discipline");
  struct Row {
    const char* name;
    std::string typed;  // then a line that must not be read
  };
  const Row rows[] = {
      {"Ctrl-D twice before Enter", ping_line("1") + kCtrlD + kCtrlD},
      {"Enter, then Ctrl-D", ping_line("1") + "\n" + kCtrlD},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PseudoTerminal tty;
    if (!tty.ok()) {
      GTEST_SKIP() << "no pseudo-terminal here (/dev/ptmx, /dev/pts)";
    }
    RunOptions options;
    options.stdin_fd = tty.slave();
    LiveServer server(options);
    ASSERT_TRUE(server.started());
    tty.close_slave();
    ASSERT_TRUE(tty.type(row.typed + ping_line("2") + "\n"));
    EXPECT_EQ(server.read_line(seconds(10)), ping_result_line("1"));
    EXPECT_EQ(server.wait_exit(seconds(10)), 0);
    EXPECT_EQ(server.take_out(), "");
    EXPECT_EQ(server.err(),
              "[vestigor-mcp] starting on stdio\n"
              "[vestigor-mcp] -> ping\n");
  }
}

}  // namespace
}  // namespace vestigor_mcp::testing
