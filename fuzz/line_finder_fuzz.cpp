// Fuzzes the line finder against the plain reference: each line of the
// text lowered on its own by ICU, the query's lower-case form looked for in
// it. The input is a query and a text (split at the first 0xFF byte, or
// the first line as the query when there is none); only valid UTF-8 is
// compared, as the finder promises nothing else. Every path is taken:
// both vector widths, and lines found by the sources prefilter or all
// lowered. The finder's own lowering is compared with ICU's as well.
#include <unicode/ucasemap.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "tools/line_finder.hpp"
#include "util/buffer.hpp"
#include "util/char_facts.hpp"
#include "util/unicode.hpp"

namespace {

using vestigor_mcp::LineFinder;

UCaseMap* case_map() {
  static UCaseMap* const kMap = [] {
    UErrorCode error = U_ZERO_ERROR;
    UCaseMap* map = ucasemap_open("", 0, &error);
    if (U_FAILURE(error)) {
      std::abort();
    }
    return map;
  }();
  return kMap;
}

std::string icu_lower(std::string_view text) {
  std::string out(text.size() * 3 + 16, '\0');
  UErrorCode error = U_ZERO_ERROR;
  const int32_t n = ucasemap_utf8ToLower(
      case_map(), out.data(), static_cast<int32_t>(out.size()), text.data(),
      static_cast<int32_t>(text.size()), &error);
  if (U_FAILURE(error)) {
    std::abort();
  }
  out.resize(static_cast<std::size_t>(n));
  return out;
}

struct Found {
  std::size_t number;
  std::string_view text;
};

std::optional<Found> reference(std::string_view content,
                               std::string_view query) {
  const std::string lowered_query = icu_lower(query);
  std::size_t number = 0;
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    const bool has_lf = end != std::string_view::npos;
    if (!has_lf) {
      end = content.size();
    }
    std::string_view line = content.substr(start, end - start);
    if (has_lf && line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    ++number;
    if (icu_lower(line).find(lowered_query) != std::string::npos) {
      return Found{number, line};
    }
    start = end + 1;
  }
  return std::nullopt;
}

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
  const std::optional<Found> want = reference(text, query);
  for (const bool every_line : {false, true}) {
    for (const bool narrow : {false, true}) {
      auto finder = LineFinder::TEST_make(query, {every_line, narrow});
      if (!finder) {
        fail("make failed", query, text);
      }
      const auto got = finder->first_match(text);
      if (!got) {
        fail("first_match failed", query, text);
      }
      if (got->has_value() != want.has_value() ||
          (want && ((*got)->number != want->number ||
                    (*got)->text.data() != want->text.data() ||
                    (*got)->text.size() != want->text.size()))) {
        fail(every_line ? "differs from the reference (every line)"
                        : "differs from the reference (sources)",
             query, text);
      }
    }
  }
  return 0;
}
