// The generated Unicode tables against ICU, code point by code point: each
// property, and each scalar value's lower-case form alone and between
// letters (one text per context, a line feed after each character, which
// ends every Final_Sigma context).
#include "util/char_facts.hpp"

#include <gtest/gtest.h>
#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/uversion.h>

#include <algorithm>
#include <string>
#include <utility>

#include "support/icu_oracle.hpp"
#include "util/utf8.hpp"

namespace vestigor_mcp {
namespace {

using testing::icu_lower;

std::string utf8(char32_t c) {
  char bytes[4];
  return std::string(bytes, encode_utf8(c, bytes));
}

bool is_scalar_value(char32_t c) { return c < 0xD800 || c > 0xDFFF; }

TEST(CharFacts, TablesComeFromTheUnicodeVersionOfIcu) {
  // The oracle is only as good as its version: a newer ICU (or older UCD)
  // would show differences that are not faults.
  UVersionInfo version;
  u_getUnicodeVersion(version);
  char text[U_MAX_VERSION_STRING_LENGTH];
  u_versionToString(version, text);
  EXPECT_EQ(TEST_unicode_version().substr(0, 4),
            std::string(text).substr(0, 4));
}

TEST(CharFacts, EveryPropertyEqualsIcusForEveryCodePoint) {
  struct Property {
    const char* name;
    UProperty icu;
    bool (*ours)(char32_t);
    int members;  // at least
  };
  const Property properties[] = {
      {"White_Space", UCHAR_WHITE_SPACE, is_white_space, 25},
      {"Cased", UCHAR_CASED, TEST_is_cased, 4000},
      {"Case_Ignorable", UCHAR_CASE_IGNORABLE, TEST_is_case_ignorable, 2000},
      {"Changes_When_Lowercased", UCHAR_CHANGES_WHEN_LOWERCASED,
       TEST_changes_when_lowercased, 1000},
  };
  for (const Property& p : properties) {
    int differences = 0;
    int members = 0;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
      const bool want = u_hasBinaryProperty(static_cast<UChar32>(c), p.icu);
      members += want ? 1 : 0;
      if (p.ours(c) != want && ++differences <= 5) {
        ADD_FAILURE() << p.name << " of U+" << std::hex << unsigned{c}
                      << ": ours " << !want << ", ICU " << want;
      }
    }
    EXPECT_EQ(differences, 0) << p.name;
    EXPECT_GE(members, p.members) << p.name;
  }
}

// The lines of `got` and `want` that differ, the first few reported; and
// how many lines there were.
std::pair<int, int> line_differences(std::string_view got,
                                     std::string_view want,
                                     const std::string& label) {
  int differences = 0;
  int lines = 0;
  while (!want.empty() && !got.empty()) {
    const std::size_t g = std::min(got.find('\n'), got.size());
    const std::size_t w = std::min(want.find('\n'), want.size());
    if (got.substr(0, g) != want.substr(0, w) && ++differences <= 5) {
      ADD_FAILURE() << label << " line " << lines << ": ours ["
                    << got.substr(0, g) << "], ICU [" << want.substr(0, w)
                    << "]";
    }
    got.remove_prefix(std::min(g + 1, got.size()));
    want.remove_prefix(std::min(w + 1, want.size()));
    ++lines;
  }
  EXPECT_TRUE(got.empty() && want.empty()) << label;
  return {differences, lines};
}

TEST(CharFacts, EveryLowerCaseFormEqualsIcusForEveryScalarValue) {
  // Alone, after a letter (the capital sigma's final form) and between
  // letters; each text lowered once by both. TEST_lower_form, from which the
  // sources are derived, must be the form alone.
  const char* const contexts[][2] = {{"", ""}, {"A", ""}, {"A", "a"}};
  std::string forms;
  for (const auto& [before, after] : contexts) {
    std::string text;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
      if (is_scalar_value(c) && c != '\n') {
        text += before + utf8(c) + after + "\n";
        if (*before == '\0') {
          const LowerForm form = TEST_lower_form(c);
          for (std::size_t k = 0; k < form.size; ++k) {
            forms += utf8(form.chars[k]);
          }
          forms += '\n';
        }
      }
    }
    Buffer ours;
    ASSERT_TRUE(append_lower_case(text, ours));
    const std::string want = icu_lower(text);
    const std::string label = std::string("[") + before + "X" + after + "]";
    const auto [differences, lines] =
        line_differences(ours.view(), want, label);
    EXPECT_EQ(differences, 0) << label;
    EXPECT_EQ(lines, 1112064 - 1);  // every scalar value but the line feed
    if (*before == '\0') {
      EXPECT_EQ(line_differences(forms, want, "lower_form").first, 0);
    }
  }
}

TEST(CharFacts, IllFormedBytesAreCopiedAndEndTheFinalSigmaContext) {
  struct Case {
    std::string text;
    std::string lowered;
  };
  const Case cases[] = {
      {"A\xFF"
       "B",
       "a\xFF"
       "b"},
      {"ΑΣ\xFF", "ας\xFF"},  // then junk
      {"\xFFΣ", "\xFFσ"},    // not preceded
      {"ΑΣ\xE2\x84", "ας\xE2\x84"},
      {"İ\xC3", "i\u0307\xC3"},
  };
  for (const Case& c : cases) {
    Buffer out;
    ASSERT_TRUE(append_lower_case(c.text, out));
    EXPECT_EQ(out.view(), c.lowered) << c.text;
    EXPECT_EQ(icu_lower(c.text), c.lowered) << c.text;
  }
}

}  // namespace
}  // namespace vestigor_mcp
