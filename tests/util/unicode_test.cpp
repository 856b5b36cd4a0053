#include "util/unicode.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vestigor_mcp {
namespace {

TEST(Utf8, ClassifiesWellFormedText) {
  struct Case {
    std::string bytes;
    bool valid;
    bool ascii;
  };
  const Case cases[] = {
      {"", true, true},
      {std::string(100, 'a'), true, true},
      {std::string("\0\x7f", 2), true, true},
      {std::string(40, 'a') + "é", true, false},
      {"😀 \u212A", true, false},
      {"\U0010FFFF", true, false},  // U+10FFFF
      {std::string(40, 'a') + "\xFF", false, false},
      {"\xC3", false, false},              // truncated
      {"\xC0\xAF", false, false},          // overlong
      {"\xE0\x80\xAF", false, false},      // overlong
      {"\xED\xA0\x80", false, false},      // surrogate
      {"\xF4\x90\x80\x80", false, false},  // beyond U+10FFFF
      {"\x80", false, false},              // lone trail byte
      {"é" + std::string(40, 'a') + "\xE2\x82", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << c.bytes;
    EXPECT_EQ(is_ascii(c.bytes), c.ascii) << c.bytes;
  }
}

TEST(WhiteSpace, TrimsEveryWhiteSpaceCharacterFromBothEnds) {
  struct Case {
    std::string text;
    std::string trimmed;
  };
  const Case cases[] = {
      {"", ""},
      {"  a b  ", "a b"},
      {"\t\n\v\f\r a \x1c", "a \x1c"},  // U+001C is not White_Space
      {"\u0085\u00A0x\u1680", "x"},
      {"\u2000\u200Ax\u2028\u2029", "x"},
      {"\u202F\u205Fx\u3000", "x"},
      {"\u200Bx", "\u200Bx"},  // zero width space is not
      {"\uFEFFx", "\uFEFFx"},  // nor the BOM
      {" é ", "é"},
      {"\u00A0\u00A0", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(trim_white_space(c.text), c.trimmed) << c.text;
  }
}

TEST(Utf8, ReplacesEachMaximalIllFormedSubpart) {
  EXPECT_EQ(to_valid_utf8("ok é"), "ok é");
  EXPECT_EQ(to_valid_utf8("a\xFF"
                          "b"),
            "a\uFFFDb");
  // A truncated three-byte sequence is one subpart, then the next char.
  EXPECT_EQ(to_valid_utf8("\xE2\x82"
                          "x"),
            "\uFFFDx");
  EXPECT_EQ(to_valid_utf8("\xC0\xAF"), "\uFFFD\uFFFD");
}

}  // namespace
}  // namespace vestigor_mcp
