// line_finder.hpp: finds a text's first line whose Unicode lower-case form
// (full mappings, Final_Sigma within the line, root locale) holds the
// query's lower-case form as bytes. Lines end at LF; a CR before the LF is
// not part of the line. How the lines are looked for without lowering
// most of them: line_matchers.hpp.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "search/line_matchers.hpp"

namespace vestigor_mcp {

class LineFinder {
 public:
  // Fails only when out of memory.
  static std::expected<LineFinder, std::string> make(std::string_view query);

  // False when no line can hold the query (its lower-case form holds a LF).
  bool can_match() const {
    return !std::holds_alternative<std::monostate>(matcher_);
  }

  // Whether a match depends only on the characters it spans, none of them
  // lowered by what stands around it: the query's lower-case form holds
  // no sigma (the one character whose lowering looks at its neighbours).
  // Then a part of a line holds a match exactly when the line holds it
  // there, and a match spans at most match_reach() bytes of the line.
  bool spans_decide() const { return spans_decide_; }
  std::size_t match_reach() const { return reach_; }

  // The first matching line of `content` (numbered from its start), or
  // none. When `content` is not valid UTF-8 the answer is some line or
  // none, never a failure.
  std::expected<std::optional<LineMatch>, std::string> first_match(
      std::string_view content);

  // For tests only: take the paths the usual queries skip.
  struct TestKnobs {
    bool lower_every_non_ascii_line = false;  // no sources prefilter
    bool narrow_vectors = false;              // 16-byte scan, even with AVX2
    LinearFrom linear = LinearFrom::kWhenCostly;
  };
  static std::expected<LineFinder, std::string> TEST_make(
      std::string_view query, const TestKnobs& knobs);

 private:
  LineFinder() = default;
  static std::expected<LineFinder, std::string> build(std::string_view query,
                                                      const TestKnobs& knobs);

  std::variant<std::monostate, AsciiMatcher, TextMatcher> matcher_;
  bool spans_decide_ = false;
  std::size_t reach_ = 0;
};

}  // namespace vestigor_mcp
