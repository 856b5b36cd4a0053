// icu_oracle.hpp: ICU's answers, which the server's own Unicode tables and
// line finder are checked against (unit tests and fuzz targets; the server
// links no ICU). Header-only, so that the fuzz targets, built with another
// compiler and library, share it. An ICU failure aborts: the oracle itself
// is then broken, and no comparison with it means anything.
#pragma once

#include <unicode/ucasemap.h>
#include <unicode/utypes.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace vestigor_mcp::testing {

// The root locale's case map, opened once for the whole run.
inline UCaseMap* icu_case_map() {
  static UCaseMap* const map = [] {
    UErrorCode error = U_ZERO_ERROR;
    UCaseMap* opened = ucasemap_open("", 0, &error);
    if (U_FAILURE(error)) {
      std::fprintf(stderr, "ICU cannot open a case map: %s\n",
                   u_errorName(error));
      std::abort();
    }
    return opened;
  }();
  return map;
}

// ICU's full lower-case form of `text` (root locale, Final_Sigma).
inline std::string icu_lower(std::string_view text) {
  std::string out(text.size() * 3 + 16, '\0');
  UErrorCode error = U_ZERO_ERROR;
  const int32_t n = ucasemap_utf8ToLower(
      icu_case_map(), out.data(), static_cast<int32_t>(out.size()), text.data(),
      static_cast<int32_t>(text.size()), &error);
  if (U_FAILURE(error)) {
    std::fprintf(stderr, "ICU cannot lower: %s\n", u_errorName(error));
    std::abort();
  }
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// A first matching line: its number from 1, and its text without the LF
// and a CR before it.
struct OracleMatch {
  std::size_t number = 0;
  std::string text;
  friend bool operator==(const OracleMatch&, const OracleMatch&) = default;
};

// The plain reference for the line finder: every line of `content` lowered
// by ICU on its own, the lowered query looked for in it.
inline std::optional<OracleMatch> icu_first_match(std::string_view content,
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
      return OracleMatch{number, std::string(line)};
    }
    start = end + 1;
  }
  return std::nullopt;
}

}  // namespace vestigor_mcp::testing
