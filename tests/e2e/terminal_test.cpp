// A person typing requests into a terminal. Ctrl-D ends a terminal's input
// only on an empty line; after some typing it hands over what was typed,
// and pressed again it makes a read return nothing while the line is
// still unfinished. The server answers that line then and keeps reading:
// only an empty read with nothing left over ends the run.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/live_server.hpp"
#include "support/pseudo_terminal.hpp"
#include "support/server_process.hpp"

namespace vestigor_mcp::testing {
namespace {

using std::chrono::seconds;

TEST(Terminal, CtrlDBeforeEnterAnswersTheLineAndReadsOn) {
  VESTIGOR_SKIP_UNDER_WINE(
      "pseudo-terminals: Wine gives a Windows program no terminal line "
      "discipline");
  PseudoTerminal tty;
  if (!tty.ok()) {
    GTEST_SKIP() << "no pseudo-terminal here (/dev/ptmx, /dev/pts)";
  }
  RunOptions options;
  options.stdin_fd = tty.slave();
  LiveServer server(options);
  ASSERT_TRUE(server.started());
  tty.close_slave();

  // Typed, then Ctrl-D twice: the first hands over the bytes, the second
  // ends the unfinished line.
  ASSERT_TRUE(tty.type(ping_line("1") + kCtrlD + kCtrlD));
  EXPECT_EQ(server.read_line(seconds(10)), ping_result_line("1"));

  // Still reading after that; Ctrl-D on an empty line ends the run. (A
  // Ctrl-D inside a line and the other cases: the line reader's table.)
  ASSERT_TRUE(tty.type(ping_line("2") + "\n" + kCtrlD));
  EXPECT_EQ(server.read_line(seconds(10)), ping_result_line("2"));
  EXPECT_EQ(server.wait_exit(seconds(10)), 0);
  EXPECT_EQ(server.err(),
            "[vestigor-mcp] starting on stdio\n"
            "[vestigor-mcp] -> ping\n"
            "[vestigor-mcp] -> ping\n");
}

}  // namespace
}  // namespace vestigor_mcp::testing
