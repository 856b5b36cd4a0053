// One note's search fed in pieces, with lines longer than may be held: a
// line that is not held is looked through as it comes, so that the note's
// later lines are still searched, and a match anywhere in it (one that
// runs over pieces and over the segments looked through included) makes it
// the note's line, read back from the note once the rest is checked.
#include "search/note_scan.hpp"

#include <gtest/gtest.h>

#include <iterator>
#include <optional>
#include <ostream>
#include <random>
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

// `read_back`, when given, is the note as it is when a line that was not
// held is read back (changed since it was searched).
std::optional<Reported> scan_in_pieces(
    std::string_view note, std::string_view query, std::size_t line_limit,
    std::size_t piece,
    std::optional<std::string_view> read_back = std::nullopt) {
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
  if (const std::optional<LineSpan> span = scan.line_to_read();
      scan.matched() && span) {
    const std::string_view now = read_back.value_or(note);
    char* room = scan.line_room();
    EXPECT_NE(room, nullptr);
    if (room == nullptr) {
      return std::nullopt;
    }
    const std::string_view bytes =
        now.substr(std::min<std::size_t>(span->offset, now.size()), span->size);
    std::copy(bytes.begin(), bytes.end(), room);
    if (!scan.take_line(bytes.size())) {
      EXPECT_FALSE(scan.matched());
      return std::nullopt;
    }
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
       Reported{1, x + "alpha" + x}},
      {"the match at the long line's end", x + "alpha\nalpha", "alpha",
       Reported{1, x + "alpha"}},
      {"the match in a later long line, the note's last",
       "a\n" + x + "\n" + x + "ALPHA" + x, "alpha",
       Reported{3, x + "ALPHA" + x}},
      {"the match over a segment's end", wide + "alpha" + x + "\nalpha\n",
       "alpha", Reported{1, wide + "alpha" + x}},
      {"a 200 KiB line, then the match", times(wide, 3) + "\nthe alpha",
       "alpha", Reported{2, "the alpha"}},
      {"the CR that ends the long line is not in it", x + "alpha\r\nalpha\rb\n",
       "alpha\r", Reported{2, "alpha\rb"}},
      {"a CR inside the long line is", x + "alpha\rb\nalpha\r\n", "alpha\r",
       Reported{1, x + "alpha\rb"}},
      {"a CR that ends the note stays", x + "alpha\r", "alpha\r",
       Reported{1, x + "alpha\r"}},
      {"a CR before the LF is not read back", "\n" + x + "alpha\r\n", "alpha",
       Reported{2, x + "alpha"}},
      {"no match, the long line last", "a\n" + x, "alpha", std::nullopt},
      {"non-ASCII", times("É", 200) + "\n" + times("É", 2) + "A\n", "éa",
       Reported{2, "ÉÉA"}},
      {"non-ASCII in the long line", times("É", 200) + "A\nÉA\n", "éa",
       Reported{1, times("É", 200) + "A"}},
      {"capital I with dot lowers into the query", times("İ", 200) + "x\nix",
       "i\u0307x", Reported{1, times("İ", 200) + "x"}},
      {"invalid UTF-8 in the long line", x + "\xC3\nalpha\n", "alpha",
       std::nullopt},
      {"invalid UTF-8 after the matching long line", x + "alpha\n\xC3", "alpha",
       std::nullopt},
      {"a sequence cut short at the note's end, the long line last",
       x + "alpha\xC3", "alpha", std::nullopt},
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
  // A note changed between its search and the read back is passed over,
  // unless the line read back is still the one searched.
  const std::string note = "a\n" + x + "alpha" + x + "\nb\n";
  const std::string longer = "a\nz" + note.substr(2);  // the line moved
  std::string edited = note;
  edited[2 + 300] = 'A';                      // the same line, a letter changed
  std::string cut = note.substr(0, 2 + 300);  // the note cut short
  std::string joined = note;
  joined[2 + 300 + 5 + 100] = '\n';  // the line split in two
  // (Pieces shorter than the note: a note's one and last piece is held.)
  for (const std::size_t piece : {5, 33, 512}) {
    EXPECT_EQ(scan_in_pieces(note, "alpha", 64, piece, longer), std::nullopt);
    EXPECT_EQ(scan_in_pieces(note, "alpha", 64, piece, cut), std::nullopt);
    EXPECT_EQ(scan_in_pieces(note, "alpha", 64, piece, joined), std::nullopt);
    EXPECT_EQ(scan_in_pieces(note, "alpha", 64, piece, edited),
              (Reported{2, x + "Alpha" + x}));
  }
  // Held whole, the long lines are searched as any other.
  EXPECT_EQ(scan_in_pieces(x + "alpha" + x + "\nalpha\n", "alpha",
                           std::string_view::npos, 7),
            (Reported{1, x + "alpha" + x}));
}

// C-style escapes for CR, LF and bytes above ASCII.
std::string escaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (byte >= 0x80) {
      constexpr char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

// Notes made at random of the pieces that matter (CR, LF, the query's
// letters, a two-byte letter and half of one): searched with short lines
// not held and in small pieces, the answer is the one the whole note gets.
TEST(NoteScan, LinesNotHeldAnswerAsTheWholeNote) {
  const std::string_view bits[] = {"a", "l",        "p",    "h",  "A",
                                   "x", "xxxxxxxx", "\n",   "\r", "É",
                                   "é", "\xC3",     "alpha"};
  std::minstd_rand random(27);
  for (int round = 0; round < 3000; ++round) {
    std::string note;
    const std::size_t count = random() % 80;
    for (std::size_t i = 0; i < count; ++i) {
      note += bits[random() % std::size(bits)];
    }
    for (const std::string_view query : {"alpha", "a\ra", "éa"}) {
      const auto whole =
          scan_in_pieces(note, query, std::string_view::npos, note.size() + 1);
      const std::size_t limit = 1 + random() % 12;
      const std::size_t piece = 1 + random() % 9;
      EXPECT_EQ(scan_in_pieces(note, query, limit, piece), whole)
          << "note [" << escaped(note) << "], query [" << escaped(query)
          << "], lines up to " << limit << " held, pieces of " << piece;
    }
  }
}

}  // namespace
}  // namespace vestigor_mcp
