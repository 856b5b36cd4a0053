// line_matchers.hpp: the line finder's two matchers, each finding a text's
// first line whose lower-case form holds an already lowered query, with
// the lines' geometry (LF ends a line; a CR before it is not part of it):
//   - AsciiMatcher, for a query whose lower-case form is ASCII: looks in
//     the raw bytes, letter case ignored, from a rare pair of its bytes;
//     only a few bytes around a Kelvin sign or a capital I with dot above
//     (the only characters whose lower-case forms hold ASCII letters) are
//     mapped, when the query could take them in;
//   - TextMatcher, for any other query: looks where a source of one chosen
//     character of the query stands (a character whose lower-case form
//     holds it) and lowers a line only when the text around that source
//     is made of sources of the query's other characters.
// Looking at candidates costs little on ordinary text, but a crafted text
// and query (a periodic text, a query that agrees with it for a long
// stretch before it differs) can make each of a great many candidates
// cost as much as the query: the work spent on candidates is counted, and
// once it outgrows a small allowance plus a few steps per byte passed,
// the rest of the text is searched line by line instead, each line
// lowered (or, for an ASCII query, mapped) and looked through with
// LinearFind. So a search costs time linear in the text and the query
// however the two are made.
// Failure is a short message: out of memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "search/byte_scan.hpp"
#include "util/buffer.hpp"

namespace vestigor_mcp {

// A text's first matching line.
struct LineMatch {
  std::size_t number = 0;  // counted from 1
  std::string_view text;   // as written, without its LF and a CR before it
};

using MatchResult = std::expected<std::optional<LineMatch>, std::string>;

// When the matchers turn to the line-by-line search: once candidates cost
// too much; or, for tests, after the first candidate, or from the start.
enum class LinearFrom { kWhenCostly, kSecondCandidate, kStart };

// Finds a pattern in a text in time linear in both, whatever they hold
// (Knuth, Morris and Pratt: the pattern's borders tell where to go on
// after a mismatch, so no byte of the text is looked at twice in a row
// of steps).
class LinearFind {
 public:
  explicit LinearFind(std::string_view pattern);
  // Whether `pattern`, the one given when made, occurs in `text`; an
  // empty pattern always does.
  bool in(std::string_view pattern, std::string_view text) const;

 private:
  // For each length k of a prefix of the pattern, the length of the
  // longest proper prefix of it that is also its suffix.
  std::vector<std::size_t> border_;
};

// The work allowed on candidates before the line-by-line search takes
// over: a fixed allowance and so many steps per byte passed.
struct WorkBudget {
  std::size_t allowance = 0;
  std::size_t per_byte = 0;
  static WorkBudget from(LinearFrom linear);
  bool exceeded(std::size_t work, std::size_t at) const {
    return work > allowance + per_byte * at;
  }
};

class AsciiMatcher {
 public:
  // `query`: lowered, ASCII, no LF.
  AsciiMatcher(std::string query, bool widest_vectors, LinearFrom linear);
  MatchResult first_match(std::string_view content);

 private:
  bool matches_at(std::string_view content, std::size_t at,
                  std::size_t& work) const;
  bool special_at(std::string_view content, std::size_t at) const;
  bool could_match_near_special(std::string_view content, std::size_t at,
                                std::size_t& work, std::size_t limit) const;
  std::expected<bool, std::string> matches_near_special(
      std::string_view content, std::size_t at, std::size_t& work,
      std::size_t limit);
  MatchResult linear_match(std::string_view content, std::size_t from);

  std::string query_;
  LinearFind linear_;
  WorkBudget budget_;
  bool linear_from_start_;
  ByteScan scan_;
  // Whether the Kelvin sign or the capital I with dot can take part in a
  // match.
  bool kelvin_ = false;
  bool dotted_i_ = false;
  Buffer scratch_;  // a mapped piece of a line; never zeroed
};

class TextMatcher {
 public:
  // `query`: lowered, not ASCII, no LF. `sources_prefilter` false: every
  // line holding a non-ASCII character is lowered (for tests).
  TextMatcher(std::string query, bool sources_prefilter, bool widest_vectors,
              LinearFrom linear);
  MatchResult first_match(std::string_view content);

 private:
  std::size_t source_at(std::string_view content, std::size_t at) const;
  bool aligns(std::string_view content, std::size_t at, std::size_t length,
              std::size_t& work, std::size_t limit) const;
  bool aligns_side(std::string_view content, std::size_t at, std::size_t index,
                   bool forward, std::size_t& work) const;
  MatchResult linear_match(std::string_view content, std::size_t from);

  std::string query_;
  LinearFind linear_;
  WorkBudget budget_;
  bool linear_from_start_;
  ByteScan scan_;
  // The query's distinct characters, each with its sources, and the
  // query as indexes into them; where the chosen character stands in the
  // query, and its sources as UTF-8 (none when every line with a non-ASCII
  // character is lowered).
  struct QueryChar {
    char32_t c;
    bool uncertain;  // a source may lower to more than c: not compared
    std::vector<char32_t> sources;
  };
  std::vector<QueryChar> distinct_;
  std::vector<std::uint32_t> chars_;
  const QueryChar& char_at(std::size_t m) const { return distinct_[chars_[m]]; }
  std::vector<std::size_t> chosen_at_;
  std::vector<std::string> sources_;
  Buffer scratch_;  // a lowered line; never zeroed
};

}  // namespace vestigor_mcp
