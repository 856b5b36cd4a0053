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

class AsciiMatcher {
 public:
  // `query`: lowered, ASCII, no LF.
  AsciiMatcher(std::string query, bool widest_vectors);
  MatchResult first_match(std::string_view content);

 private:
  bool matches_at(std::string_view content, std::size_t at) const;
  bool special_at(std::string_view content, std::size_t at) const;
  bool could_match_near_special(std::string_view content, std::size_t at) const;
  std::expected<bool, std::string> matches_near_special(
      std::string_view content, std::size_t at);

  std::string query_;
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
  TextMatcher(std::string query, bool sources_prefilter, bool widest_vectors);
  MatchResult first_match(std::string_view content);

 private:
  std::size_t source_at(std::string_view content, std::size_t at) const;
  bool aligns(std::string_view content, std::size_t at,
              std::size_t length) const;
  bool aligns_side(std::string_view content, std::size_t at, std::size_t index,
                   bool forward) const;

  std::string query_;
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
