// LineReader on a terminal, where a read that returns nothing is not the
// end of the input: Ctrl-D after some typing hands over a line without its
// line feed, and the reader must go on reading after it.
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

TEST(LineReader, OnATerminalOnlyAnEmptyReadWithNothingBufferedEnds) {
  struct Row {
    const char* name;
    std::string typed;  // ends with Ctrl-D on an empty line
    std::vector<std::string> lines;
  };
  const std::string eof(1, kCtrlD);
  const Row rows[] = {
      {"Ctrl-D on an empty line", eof, {}},
      {"Ctrl-D twice after typing", "abc" + eof + eof + eof, {"abc"}},
      {"then more lines",
       "abc" + eof + eof + "def\n" + "g" + eof + eof + eof,
       {"abc", "def", "g"}},
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
    ASSERT_TRUE(tty.type(row.typed));
    LineReader reader(tty.slave());
    std::vector<std::string> lines;
    for (std::size_t i = 0; i <= row.lines.size(); ++i) {
      const auto line = reader.next();
      ASSERT_TRUE(line.has_value()) << line.error();
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
