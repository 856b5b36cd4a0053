// LineReader on a terminal, where Ctrl-D after some typing hands over a
// line without its line feed, and a Ctrl-D on nothing typed makes a read
// return nothing: that ends the input, after a partial line too, so a
// second Ctrl-D (not a third) ends the run, as in other line readers.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "protocol/line_reader.hpp"
#include "support/pseudo_terminal.hpp"

namespace vestigor_mcp {
namespace {

using testing::kCtrlD;
using testing::PseudoTerminal;

TEST(LineReader, OnATerminalTheFirstEmptyReadEnds) {
  struct Row {
    const char* name;
    std::string typed;  // ends with what ends the input
    std::vector<std::string> lines;
  };
  const std::string eof(1, kCtrlD);
  const Row rows[] = {
      {"Ctrl-D on an empty line", eof, {}},
      {"Ctrl-D twice after typing", "abc" + eof + eof, {"abc"}},
      {"after whole lines", "abc\ndef\n" + eof, {"abc", "def"}},
      {"one Ctrl-D joins the pieces",
       "ab" + eof + "c" + eof + "d\n" + eof,
       {"abcd"}},
      {"empty lines stay lines", "\n\n" + eof, {"", ""}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PseudoTerminal tty;
    if (!tty.ok()) {
      GTEST_SKIP() << "no pseudo-terminal here (/dev/ptmx, /dev/pts)";
    }
    // Everything is typed before reading starts: the terminal keeps the
    // line boundaries that Enter and Ctrl-D made.
    // A line typed after the end is never read (nor waited for).
    ASSERT_TRUE(tty.type(row.typed + "after\n"));
    LineReader reader(tty.slave());
    std::vector<std::string> lines;
    for (std::size_t i = 0; i <= row.lines.size(); ++i) {
      const auto line = reader.next();
      ASSERT_TRUE(line.has_value()) << os::os_error_text(line.error());
      if (!*line) {
        break;
      }
      lines.emplace_back(**line);
    }
    EXPECT_EQ(lines, row.lines);
  }
}

}  // namespace
}  // namespace vestigor_mcp
