// One note's search fed in pieces, with lines longer than may be held: a
// line that cannot be held is looked through as it comes, so that the
// note's later lines are still searched, and a match anywhere in it, a
// match that runs over pieces and over the segments looked through
// included, makes the note one that is skipped (its line cannot be shown).
#include "search/note_scan.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

#include "search/line_finder.hpp"

namespace vestigor_mcp {
namespace {

struct Reported {
  std::size_t number;
  std::string line;
  bool operator==(const Reported&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const Reported& r) {
    return out << r.number << ": [" << r.line.substr(0, 40) << "]";
  }
};

std::optional<Reported> scan_in_pieces(std::string_view note,
                                       std::string_view query,
                                       std::size_t line_limit,
                                       std::size_t piece) {
  auto finder = LineFinder::make(query);
  EXPECT_TRUE(finder.has_value());
  NoteScan scan = NoteScan::TEST_with_line_limit(*finder, line_limit);
  scan.start();
  // One call per piece, and one more for an empty note.
  for (std::size_t at = 0; at <= note.size(); at += piece) {
    const bool last = at + piece >= note.size();
    const auto more = scan.take(note.substr(at, piece),
                                last ? PieceEnd::kLast : PieceEnd::kMore);
    EXPECT_TRUE(more.has_value());
    if (!more || !*more) {
      break;
    }
    EXPECT_FALSE(last) << "more wanted after the last piece";
  }
  if (!scan.matched()) {
    return std::nullopt;
  }
  return Reported{scan.line_number(), std::string(scan.line())};
}

std::string times(std::string_view unit, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out += unit;
  }
  return out;
}

TEST(NoteScan, LooksThroughLinesTooLongToHold) {
  const std::string x = times("x", 300);
  // Past the segments looked through at a time (64 KiB), so that a match
  // runs over one's end.
  const std::string wide = times("x", (64 << 10) - 3);
  struct Case {
    const char* name;
    std::string note;
    const char* query;
    std::optional<Reported> want;
  };
  const Case cases[] = {
      {"a long line, then the match", x + "\nalpha\n", "alpha",
       Reported{2, "alpha"}},
      {"long lines, short ones, the match",
       x + "\n\n" + x + "\r\nb\n" + x + "\n ALPHA beta\r\n", "alpha",
       Reported{6, " ALPHA beta"}},
      {"the match in the long line", x + "alpha" + x + "\nalpha\n", "alpha",
       std::nullopt},
      {"the match at the long line's end", x + "alpha\nalpha", "alpha",
       std::nullopt},
      {"the match over a segment's end", wide + "alpha" + x + "\nalpha\n",
       "alpha", std::nullopt},
      {"a 200 KiB line, then the match", times(wide, 3) + "\nthe alpha",
       "alpha", Reported{2, "the alpha"}},
      {"the CR that ends the long line is not in it", x + "alpha\r\nalpha\rb\n",
       "alpha\r", Reported{2, "alpha\rb"}},
      {"a CR inside the long line is", x + "alpha\rb\nalpha\r\n", "alpha\r",
       std::nullopt},
      {"a CR that ends the note stays", x + "alpha\r", "alpha\r", std::nullopt},
      {"no match, the long line last", "a\n" + x, "alpha", std::nullopt},
      {"non-ASCII", times("É", 200) + "\n" + times("É", 2) + "A\n", "éa",
       Reported{2, "ÉÉA"}},
      {"non-ASCII in the long line", times("É", 200) + "A\nÉA\n", "éa",
       std::nullopt},
      {"capital I with dot lowers into the query", times("İ", 200) + "x\nix",
       "i\u0307x", std::nullopt},
      {"invalid UTF-8 in the long line", x + "\xC3\nalpha\n", "alpha",
       std::nullopt},
      {"a sigma query: the long line is not looked through", x + "\nΟΔΟΣ\n",
       "ος", std::nullopt},
      {"a sigma query, the lines held", "a\nΟΔΟΣ\n", "ος", Reported{2, "ΟΔΟΣ"}},
  };
  // Pieces shorter than the limit, so that a long line runs over them and
  // is carried (a line inside one piece is searched where it lies).
  for (const Case& c : cases) {
    for (const std::size_t piece : {1, 2, 3, 5, 7, 16, 33, 4096}) {
      if ((piece < 7 && c.note.size() > 10000) ||
          (piece == 4096 && c.note.size() < 10000)) {
        continue;  // the same paths, fewer calls
      }
      EXPECT_EQ(scan_in_pieces(c.note, c.query, 64, piece), c.want)
          << c.name << ", pieces of " << piece;
    }
  }
  // Held whole, the long lines are searched as any other.
  EXPECT_EQ(scan_in_pieces(x + "alpha" + x + "\nalpha\n", "alpha",
                           std::string_view::npos, 7),
            (Reported{1, x + "alpha" + x}));
}

}  // namespace
}  // namespace vestigor_mcp
