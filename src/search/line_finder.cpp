#include "search/line_finder.hpp"

#include <algorithm>
#include <cerrno>

#include "util/buffer.hpp"
#include "util/char_facts.hpp"
#include "util/fd_io.hpp"
#include "util/unicode.hpp"

namespace vestigor_mcp {

std::expected<LineFinder, std::string> LineFinder::make(
    std::string_view query) {
  return build(query, {});
}

std::expected<LineFinder, std::string> LineFinder::TEST_make(
    std::string_view query, const TestKnobs& knobs) {
  return build(query, knobs);
}

std::expected<LineFinder, std::string> LineFinder::build(
    std::string_view query, const TestKnobs& knobs) {
  Buffer lowered;
  if (!append_lower_case(query, lowered)) {
    return std::unexpected(os_error_text(ENOMEM));
  }
  std::string lowered_query(lowered.view());
  LineFinder finder;
  // Lines hold no LF, and lowering makes none.
  if (lowered_query.find('\n') != std::string::npos) {
    return finder;
  }
  // Small sigma and final sigma: U+03C3 and U+03C2.
  finder.spans_decide_ = lowered_query.find("\xCF\x83") == std::string::npos &&
                         lowered_query.find("\xCF\x82") == std::string::npos;
  // A match's bytes in the lowered line come from as many characters of
  // the line at most, each at most four bytes long.
  finder.reach_ = 4 * lowered_query.size();
  const bool widest = !knobs.narrow_vectors;
  if (is_ascii(lowered_query)) {
    finder.matcher_.emplace<AsciiMatcher>(std::move(lowered_query), widest,
                                          knobs.linear);
  } else {
    finder.matcher_.emplace<TextMatcher>(std::move(lowered_query),
                                         !knobs.lower_every_non_ascii_line,
                                         widest, knobs.linear);
  }
  return finder;
}

std::expected<std::optional<LineMatch>, std::string> LineFinder::first_match(
    std::string_view content) {
  return std::visit(
      [&](auto& matcher) -> MatchResult {
        if constexpr (std::is_same_v<std::decay_t<decltype(matcher)>,
                                     std::monostate>) {
          return std::nullopt;
        } else {
          return matcher.first_match(content);
        }
      },
      matcher_);
}

}  // namespace vestigor_mcp
