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
      {std::string(40, 'a') + "\xC3\xA9", true, false},
      {"\xF0\x9F\x98\x80 \xE2\x84\xAA", true, false},
      {"\xF4\x8F\xBF\xBF", true, false},  // U+10FFFF
      {std::string(40, 'a') + "\xFF", false, false},
      {"\xC3", false, false},              // truncated
      {"\xC0\xAF", false, false},          // overlong
      {"\xE0\x80\xAF", false, false},      // overlong
      {"\xED\xA0\x80", false, false},      // surrogate
      {"\xF4\x90\x80\x80", false, false},  // beyond U+10FFFF
      {"\x80", false, false},              // lone trail byte
      {"\xC3\xA9" + std::string(40, 'a') + "\xE2\x82", false, false},
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
      {"\xC2\x85\xC2\xA0x\xE1\x9A\x80", "x"},
      {"\xE2\x80\x80\xE2\x80\x8A"
       "x"
       "\xE2\x80\xA8\xE2\x80\xA9",
       "x"},
      {"\xE2\x80\xAF\xE2\x81\x9F"
       "x"
       "\xE3\x80\x80",
       "x"},
      {"\xE2\x80\x8B"
       "x",
       "\xE2\x80\x8B"
       "x"},  // zero width space is not
      {"\xEF\xBB\xBF"
       "x",
       "\xEF\xBB\xBF"
       "x"},  // nor the BOM
      {" \xC3\xA9 ", "\xC3\xA9"},
      {"\xC2\xA0\xC2\xA0", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(trim_white_space(c.text), c.trimmed) << c.text;
  }
}

TEST(Utf8, ReplacesEachMaximalIllFormedSubpart) {
  EXPECT_EQ(to_valid_utf8("ok \xC3\xA9"), "ok \xC3\xA9");
  EXPECT_EQ(to_valid_utf8("a\xFF"
                          "b"),
            "a\xEF\xBF\xBD"
            "b");
  // A truncated three-byte sequence is one subpart, then the next char.
  EXPECT_EQ(to_valid_utf8("\xE2\x82"
                          "x"),
            "\xEF\xBF\xBD"
            "x");
  EXPECT_EQ(to_valid_utf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace vestigor_mcp
