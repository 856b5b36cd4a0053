#include "protocol/json.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vestigor_mcp::json {
namespace {

std::string round_trip(std::string_view text) {
  auto v = parse(text);
  if (!v) {
    return "error: " + v.error();
  }
  return write(*v);
}

std::string error_of(std::string_view text) {
  auto v = parse(text);
  return v ? "parsed: " + write(*v) : v.error();
}

struct Case {
  const char* input;
  const char* expected;
};

TEST(JsonValues, ReadAndWriteInTheirRepresentation) {
  const Case cases[] = {
      {"0", "0"},
      {"18446744073709551615", "18446744073709551615"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"-1", "-1"},
      {"18446744073709551616", "1.8446744073709552e+19"},
      {"-9223372036854775809", "-9.223372036854776e+18"},
      {"1.0", "1.0"},
      {"1e2", "100.0"},
      {"1E2", "100.0"},
      {"1e15", "1000000000000000.0"},
      {"1e16", "1e+16"},
      {"0.00001", "0.00001"},
      {"0.000001", "1e-6"},
      {"1.5e-7", "1.5e-7"},
      {"-0", "-0.0"},
      {"-0.0", "-0.0"},
      {"0.0", "0.0"},
      {"123.456", "123.456"},
      {"-123.456e1", "-1234.56"},
      {"1.7976931348623157e308", "1.7976931348623157e+308"},
      {"5e-324", "5e-324"},
      {"1e-400", "0.0"},
      {"-1e-400", "-0.0"},
      {"0e99999999999999999999", "0.0"},
      {"0.1", "0.1"},
      {"100", "100"},
      {"1e+2", "100.0"},
      {"12345678901234567890123", "1.2345678901234568e+22"},
      // Any value may stand at the top, with whitespace around it.
      {"[]", "[]"},
      {"{}", "{}"},
      {" \t\r\n{ \"a\" : [ 1 , true , null , false ] }\n ",
       "{\"a\":[1,true,null,false]}"},
      {"\"s\"", "\"s\""},
      {"null", "null"},
      {"[[],[{}]]", "[[],[{}]]"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(round_trip(c.input), c.expected) << c.input;
  }
}

TEST(JsonNumbers, KeepTheirKind) {
  EXPECT_EQ(parse("7")->kind(), Value::Kind::kUnsigned);
  EXPECT_EQ(parse("-7")->kind(), Value::Kind::kSigned);
  EXPECT_EQ(parse("-0")->kind(), Value::Kind::kDouble);
  EXPECT_EQ(parse("7.0")->kind(), Value::Kind::kDouble);
  EXPECT_EQ(parse("18446744073709551616")->kind(), Value::Kind::kDouble);
  // Built from a signed integer: negative stays signed, the rest unsigned.
  EXPECT_EQ(Value(std::int64_t{-32601}).kind(), Value::Kind::kSigned);
  EXPECT_EQ(Value(std::int64_t{5}).kind(), Value::Kind::kUnsigned);
  EXPECT_EQ(write(Value(std::int64_t{-32601})), "-32601");
}

TEST(JsonNumbers, WriteDoublesInShortestForm) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {100.0, "100.0"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {1e-5, "0.00001"},
      {1e-6, "1e-6"},
      {0.3, "0.3"},
      {-2.5, "-2.5"},
      {1e21, "1e+21"},
      {1.25e-5, "0.0000125"},
      {123456789012345.6, "123456789012345.6"},
      {4.9406564584124654e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {18446744073709551616.0, "1.8446744073709552e+19"},
  };
  for (const auto& [d, expected] : cases) {
    EXPECT_EQ(write(Value(d)), expected) << expected;
  }
}

TEST(JsonStrings, EscapeOnlyWhatMustBeEscaped) {
  EXPECT_EQ(write(Value(
                std::string("\x01\x08\x09\x0a\x0b\x0c\x0d\x1f\"\\/\x7f", 12))),
            "\"\\u0001\\b\\t\\n\\u000b\\f\\r\\u001f\\\"\\\\/\x7f\"");
  EXPECT_EQ(write(Value(std::string("a\0b", 3))), "\"a\\u0000b\"");
  EXPECT_EQ(round_trip("\"\\u00e9\""), "\"é\"");
  EXPECT_EQ(round_trip("\"é\""), "\"é\"");
  EXPECT_EQ(round_trip("\"\\/\""), "\"/\"");
  EXPECT_EQ(round_trip("\"\\u0000\""), "\"\\u0000\"");
  EXPECT_EQ(round_trip("\"\\ud83d\\ude00\""), "\"😀\"");
  EXPECT_EQ(round_trip("\"\\uD83D\\uDE00\""), "\"😀\"");
  EXPECT_EQ(round_trip("\"\\b\\f\\n\\r\\t\\\"\\\\\""),
            "\"\\b\\f\\n\\r\\t\\\"\\\\\"");
  EXPECT_EQ(round_trip("\"\\u001F\""), "\"\\u001f\"");
  EXPECT_EQ(round_trip("\"\x7f\""), "\"\x7f\"");
}

TEST(JsonObjects, SortKeysByUnsignedBytesAndKeepTheLastDuplicate) {
  EXPECT_EQ(round_trip("{\"b\":1,\"a\":2,\"B\":3}"),
            "{\"B\":3,\"a\":2,\"b\":1}");
  EXPECT_EQ(round_trip("{\"a\":1,\"a\":2}"), "{\"a\":2}");
  EXPECT_EQ(round_trip("{\"a\":1,\"b\":0,\"a\":3,\"a\":{}}"),
            "{\"a\":{},\"b\":0}");
  EXPECT_EQ(round_trip("{\"é\":1,\"z\":2,\"ab\":3,\"a\":4}"),
            "{\"a\":4,\"ab\":3,\"z\":2,\"é\":1}");
  Value o = Value::object();
  o.insert("k", 1.5);
  o.insert("a", true);
  o.insert("k", nullptr);
  EXPECT_EQ(write(o), "{\"a\":true,\"k\":null}");
  ASSERT_NE(o.find("a"), nullptr);
  EXPECT_EQ(o.find("A"), nullptr);
  EXPECT_EQ(Value("text").find("a"), nullptr);
}

TEST(JsonErrors, NameTheFaultAndItsColumn) {
  const Case cases[] = {
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
      {"[1", "EOF while parsing a list at line 1 column 2"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"[,]", "expected value at line 1 column 2"},
      {"{,}", "key must be a string at line 1 column 2"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"[1\r2]", "expected `,` or `]` at line 1 column 4"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"truex", "trailing characters at line 1 column 5"},
      {"trux", "expected ident at line 1 column 4"},
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {"fals", "EOF while parsing a value at line 1 column 4"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"{} x", "trailing characters at line 1 column 4"},
      {"\x0c{}", "expected value at line 1 column 1"},
      {"\u00A0{}", "expected value at line 1 column 1"},
      {"'a'", "expected value at line 1 column 1"},
      {"+1", "expected value at line 1 column 1"},
      {"NaN", "expected value at line 1 column 1"},
      {"01", "invalid number at line 1 column 2"},
      {"-01", "invalid number at line 1 column 3"},
      {"-", "EOF while parsing a value at line 1 column 1"},
      {"-x", "invalid number at line 1 column 2"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.x", "invalid number at line 1 column 3"},
      {"1e", "EOF while parsing a value at line 1 column 2"},
      {"1e+", "EOF while parsing a value at line 1 column 3"},
      {"1e+x", "invalid number at line 1 column 4"},
      {"0x10", "trailing characters at line 1 column 2"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"\"\\", "EOF while parsing a string at line 1 column 2"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\u12\"", "EOF while parsing a string at line 1 column 6"},
      {"\"\\ud800", "EOF while parsing a string at line 1 column 7"},
      {"\"\\ud800\\", "EOF while parsing a string at line 1 column 8"},
      {"\"\\ud800\\u00", "EOF while parsing a string at line 1 column 11"},
      {"\"a\tb\"",
       "control character (\\u0000-\\u001F) found while parsing a "
       "string at line 1 column 3"},
      {"[1]\n x", "trailing characters at line 2 column 2"},
      {"", "EOF while parsing a value at line 1 column 0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(error_of(c.input), c.expected) << c.input;
  }
}

// Errors detected inside a token may point at any byte of it.
TEST(JsonErrors, InsideATokenNameTheFault) {
  const std::pair<const char*, const char*> cases[] = {
      {"1e400", "number out of range at line 1 column "},
      {"-1e400", "number out of range at line 1 column "},
      {"1e309", "number out of range at line 1 column "},
      {"\"\\u12x4\"", "invalid escape at line 1 column "},
      {"\"\\ud800x\"", "unexpected end of hex escape at line 1 column "},
      {"\"\\ud800\\x\"", "unexpected end of hex escape at line 1 column "},
      {"\"\\ud800\\u0041\"",
       "lone leading surrogate in hex escape at line 1 column "},
      {"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column "},
  };
  for (const auto& [input, prefix] : cases) {
    EXPECT_TRUE(error_of(input).starts_with(prefix))
        << input << " -> " << error_of(input);
  }
  EXPECT_TRUE(
      error_of(std::string(400, '9')).starts_with("number out of range"));
}

TEST(JsonNesting, AllowsDepth127AndRefusesThe128thBracket) {
  const std::string ok = std::string(127, '[') + std::string(127, ']');
  EXPECT_EQ(round_trip(ok), ok);
  EXPECT_EQ(error_of(std::string(128, '[') + std::string(128, ']')),
            "recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(
      error_of(std::string(126, '[') + "{\"a\":{}}" + std::string(126, ']')),
      "recursion limit exceeded at line 1 column 132");
  EXPECT_EQ(error_of(std::string(100000, '[')),
            "recursion limit exceeded at line 1 column 128");
}

TEST(JsonValues, CompareDoublesBySign) {
  EXPECT_FALSE(Value(0.0) == Value(-0.0));
  EXPECT_TRUE(*parse("{\"a\":[1,-2,3.5]}") ==
              *parse("{ \"a\" : [1, -2, 35e-1] }"));
}

}  // namespace
}  // namespace vestigor_mcp::json
