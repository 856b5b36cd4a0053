// Fuzzes the line finder against the plain reference: each line of the
// text lowered on its own by ICU, the query's lower-case form looked for in
// it. The input is a query and a text (split at the first 0xFF byte, or
// the first line as the query when there is none); only valid UTF-8 is
// compared, as the finder promises nothing else. Every path is taken:
// both vector widths, lines found by the sources prefilter or all
// lowered, and the line-by-line search from the start or after the first
// candidate. The finder's own lowering is compared with ICU's as well.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "search/line_finder.hpp"
#include "support/icu_oracle.hpp"
#include "util/buffer.hpp"
#include "util/char_facts.hpp"
#include "util/unicode.hpp"

namespace {

using vestigor_mcp::LineFinder;

using vestigor_mcp::testing::icu_first_match;
using vestigor_mcp::testing::icu_lower;
using vestigor_mcp::testing::OracleMatch;

void fail(const char* what, std::string_view query, std::string_view text) {
  std::fprintf(stderr, "%s\nquery [%.*s]\ntext [%.*s]\n", what,
               static_cast<int>(query.size()), query.data(),
               static_cast<int>(text.size()), text.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t split = input.find('\xFF');
  if (split == std::string_view::npos) {
    split = std::min(input.find('\n'), input.size());
  }
  const std::string_view query = input.substr(0, split);
  const std::string_view text = input.substr(std::min(split + 1, size));
  if (query.empty() || !vestigor_mcp::is_valid_utf8(query) ||
      !vestigor_mcp::is_valid_utf8(text)) {
    return 0;
  }
  vestigor_mcp::Buffer lowered;
  if (!vestigor_mcp::append_lower_case(text, lowered)) {
    fail("out of memory", query, text);
  }
  if (lowered.view() != icu_lower(text)) {
    fail("lowering differs from ICU's", query, text);
  }
  const std::optional<OracleMatch> want = icu_first_match(text, query);
  using vestigor_mcp::LinearFrom;
  for (const LinearFrom linear :
       {LinearFrom::kWhenCostly, LinearFrom::kSecondCandidate,
        LinearFrom::kStart}) {
    for (const bool every_line : {false, true}) {
      for (const bool narrow : {false, true}) {
        auto finder =
            LineFinder::TEST_make(query, {every_line, narrow, linear});
        if (!finder) {
          fail("make failed", query, text);
        }
        const auto got = finder->first_match(text);
        if (!got) {
          fail("first_match failed", query, text);
        }
        if (got->has_value() != want.has_value() ||
            (want &&
             ((*got)->number != want->number || (*got)->text != want->text))) {
          fail(linear != LinearFrom::kWhenCostly
                   ? "differs from the reference (line by line)"
               : every_line ? "differs from the reference (every line)"
                            : "differs from the reference (sources)",
               query, text);
        }
      }
    }
  }
  return 0;
}
