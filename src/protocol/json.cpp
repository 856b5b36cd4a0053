#include "protocol/json.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

#include "util/utf8.hpp"

namespace vestigor_mcp::json {

namespace {

// std::string orders by char_traits<char>::compare, which is memcmp:
// unsigned bytes, shorter prefix first. That is exactly the wire's key order.
// Stable, so that of several equal keys the last one parsed stays last.
void normalize(Object& members) {
  std::stable_sort(
      members.begin(), members.end(),
      [](const Member& a, const Member& b) { return a.key < b.key; });
  // Collapse runs of equal keys, keeping the last value of each run.
  auto out = members.begin();
  for (auto it = members.begin(); it != members.end();) {
    auto last = it;
    while (std::next(last) != members.end() &&
           std::next(last)->key == it->key) {
      ++last;
    }
    if (out != last) {
      *out = std::move(*last);
    }
    ++out;
    it = std::next(last);
  }
  members.erase(out, members.end());
}

}  // namespace

Value::Value(std::int64_t i) {
  if (i < 0) {
    data_ = i;
  } else {
    data_ = static_cast<std::uint64_t>(i);
  }
}

Value::Value(Object o) {
  normalize(o);
  data_ = std::move(o);
}

const Value* Value::find(std::string_view key) const {
  const Object* members = as_object();
  if (members == nullptr) {
    return nullptr;
  }
  auto it = std::lower_bound(
      members->begin(), members->end(), key,
      [](const Member& m, std::string_view k) { return m.key < k; });
  if (it == members->end() || it->key != key) {
    return nullptr;
  }
  return &it->value;
}

void Value::insert(std::string key, Value value) {
  Object* members = std::get_if<Object>(&data_);
  if (members == nullptr) {
    return;
  }
  auto it = std::lower_bound(
      members->begin(), members->end(), key,
      [](const Member& m, const std::string& k) { return m.key < k; });
  if (it != members->end() && it->key == key) {
    it->value = std::move(value);
  } else {
    members->insert(it, Member{std::move(key), std::move(value)});
  }
}

void Value::push_back(Value value) {
  if (Array* items = std::get_if<Array>(&data_)) {
    items->push_back(std::move(value));
  }
}

bool operator==(const Value& a, const Value& b) {
  if (a.data_.index() != b.data_.index()) {
    return false;
  }
  // Doubles compare by bits so that 0.0 and -0.0 stay apart.
  if (const double* d = a.as_double()) {
    return std::bit_cast<std::uint64_t>(*d) ==
           std::bit_cast<std::uint64_t>(*b.as_double());
  }
  return a.data_ == b.data_;
}

// ---------------------------------------------------------------- parsing

namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::expected<Value, std::string> run() {
    Value value;
    if (!parse_value(value)) {
      return std::unexpected(error_);
    }
    skip_whitespace();
    if (pos_ < text_.size()) {
      return std::unexpected(fail_at("trailing characters", pos_));
    }
    return value;
  }

 private:
  static bool is_ws(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
  }

  void skip_whitespace() {
    while (pos_ < text_.size() && is_ws(text_[pos_])) {
      ++pos_;
    }
  }

  bool at_end() const { return pos_ >= text_.size(); }

  // Records an error detected at byte `index` (0-based). An error at the
  // end of the text is reported at its last byte, as its length.
  bool fail(const char* message, std::size_t index) {
    error_ = fail_at(message, index);
    return false;
  }
  bool fail_eof(const char* message) { return fail(message, text_.size()); }

  std::string fail_at(const char* message, std::size_t index) const {
    // `index` counts the bytes before the offending byte; the reported
    // position includes that byte, or stops at the end of the text.
    const std::size_t through = std::min(index + 1, text_.size());
    std::size_t line = 1;
    std::size_t column = 0;
    for (std::size_t i = 0; i < through; ++i) {
      if (text_[i] == '\n') {
        ++line;
        column = 0;
      } else {
        ++column;
      }
    }
    std::string out = message;
    out += " at line ";
    out += std::to_string(line);
    out += " column ";
    out += std::to_string(column);
    return out;
  }

  bool parse_value(Value& out) {
    skip_whitespace();
    if (at_end()) {
      return fail_eof("EOF while parsing a value");
    }
    switch (text_[pos_]) {
      case 'n':
        return parse_literal("null", Value(nullptr), out);
      case 't':
        return parse_literal("true", Value(true), out);
      case 'f':
        return parse_literal("false", Value(false), out);
      case '"': {
        std::string s;
        if (!parse_string(s)) {
          return false;
        }
        out = Value(std::move(s));
        return true;
      }
      case '[':
        return parse_array(out);
      case '{':
        return parse_object(out);
      default:
        if (text_[pos_] == '-' || (text_[pos_] >= '0' && text_[pos_] <= '9')) {
          return parse_number(out);
        }
        return fail("expected value", pos_);
    }
  }

  bool parse_literal(std::string_view word, Value value, Value& out) {
    ++pos_;  // first letter already matched
    for (std::size_t i = 1; i < word.size(); ++i) {
      if (at_end()) {
        return fail_eof("EOF while parsing a value");
      }
      if (text_[pos_] != word[i]) {
        return fail("expected ident", pos_);
      }
      ++pos_;
    }
    out = std::move(value);
    return true;
  }

  // Parses the array or object that starts at pos_ and ends with `close`,
  // each element by `element`, which reads from pos_ on.
  template <typename Element>
  bool parse_container(char close, const char* eof_error, const char* separator,
                       Element element) {
    if (++depth_ > kMaxDepth) {
      return fail("recursion limit exceeded", pos_);
    }
    ++pos_;  // the opening bracket
    for (bool first = true;; first = false) {
      skip_whitespace();
      if (at_end()) {
        return fail_eof(eof_error);
      }
      if (text_[pos_] == close) {
        ++pos_;
        break;
      }
      if (!first) {
        if (text_[pos_] != ',') {
          return fail(separator, pos_);
        }
        ++pos_;
        skip_whitespace();
        if (at_end()) {
          return fail_eof("EOF while parsing a value");
        }
        if (text_[pos_] == close) {
          return fail("trailing comma", pos_);
        }
      }
      if (!element()) {
        return false;
      }
    }
    --depth_;
    return true;
  }

  bool parse_array(Value& out) {
    Array items;
    const bool parsed = parse_container(']', "EOF while parsing a list",
                                        "expected `,` or `]`", [&] {
                                          Value item;
                                          if (!parse_value(item)) {
                                            return false;
                                          }
                                          items.push_back(std::move(item));
                                          return true;
                                        });
    if (parsed) {
      out = Value(std::move(items));
    }
    return parsed;
  }

  bool parse_member(Object& members) {
    if (text_[pos_] != '"') {
      return fail("key must be a string", pos_);
    }
    std::string key;
    if (!parse_string(key)) {
      return false;
    }
    skip_whitespace();
    if (at_end()) {
      return fail_eof("EOF while parsing an object");
    }
    if (text_[pos_] != ':') {
      return fail("expected `:`", pos_);
    }
    ++pos_;
    Value value;
    if (!parse_value(value)) {
      return false;
    }
    members.push_back(Member{std::move(key), std::move(value)});
    return true;
  }

  bool parse_object(Value& out) {
    Object members;
    const bool parsed = parse_container('}', "EOF while parsing an object",
                                        "expected `,` or `}`",
                                        [&] { return parse_member(members); });
    if (parsed) {
      out = Value(std::move(members));  // sorts, last duplicate wins
    }
    return parsed;
  }

  static int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
      return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
      return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
      return c - 'A' + 10;
    }
    return -1;
  }

  // Reads the four hex digits of a \u escape; pos_ stands on the first.
  bool read_hex4(std::uint32_t& unit) {
    if (text_.size() - pos_ < 4) {
      return fail_eof("EOF while parsing a string");
    }
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      const int d = hex_digit(text_[pos_]);
      if (d < 0) {
        return fail("invalid escape", pos_);
      }
      unit = unit * 16 + static_cast<std::uint32_t>(d);
      ++pos_;
    }
    return true;
  }

  static void append_utf8(char32_t c, std::string& s) {
    char bytes[4];
    s.append(bytes, encode_utf8(c, bytes));
  }

  // pos_ stands on the character after "\u".
  bool parse_unicode_escape(std::string& s) {
    std::uint32_t unit = 0;
    if (!read_hex4(unit)) {
      return false;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return fail("lone leading surrogate in hex escape", pos_ - 1);
    }
    if (unit < 0xD800 || unit > 0xDBFF) {
      append_utf8(unit, s);
      return true;
    }
    // A high surrogate must be followed at once by "\u" and a low one.
    if (at_end()) {
      return fail_eof("EOF while parsing a string");
    }
    if (text_[pos_] != '\\') {
      return fail("unexpected end of hex escape", pos_);
    }
    ++pos_;
    if (at_end()) {
      return fail_eof("EOF while parsing a string");
    }
    if (text_[pos_] != 'u') {
      return fail("unexpected end of hex escape", pos_);
    }
    ++pos_;
    std::uint32_t low = 0;
    if (!read_hex4(low)) {
      return false;
    }
    if (low < 0xDC00 || low > 0xDFFF) {
      return fail("lone leading surrogate in hex escape", pos_ - 1);
    }
    append_utf8(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), s);
    return true;
  }

  // pos_ stands on the opening quote.
  bool parse_string(std::string& s) {
    ++pos_;
    for (;;) {
      // Copy the longest run that needs no attention in one go.
      const std::size_t start = pos_;
      while (pos_ < text_.size()) {
        const auto c = static_cast<unsigned char>(text_[pos_]);
        if (c == '"' || c == '\\' || c < 0x20) {
          break;
        }
        ++pos_;
      }
      s.append(text_.data() + start, pos_ - start);
      if (at_end()) {
        return fail_eof("EOF while parsing a string");
      }
      const char c = text_[pos_];
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c != '\\') {
        return fail(
            "control character (\\u0000-\\u001F) found while parsing a "
            "string",
            pos_);
      }
      ++pos_;
      if (at_end()) {
        return fail_eof("EOF while parsing a string");
      }
      const char e = text_[pos_++];
      switch (e) {
        case '"':
          s += '"';
          break;
        case '\\':
          s += '\\';
          break;
        case '/':
          s += '/';
          break;
        case 'b':
          s += '\b';
          break;
        case 'f':
          s += '\f';
          break;
        case 'n':
          s += '\n';
          break;
        case 'r':
          s += '\r';
          break;
        case 't':
          s += '\t';
          break;
        case 'u':
          if (!parse_unicode_escape(s)) {
            return false;
          }
          break;
        default:
          return fail("invalid escape", pos_ - 1);
      }
    }
  }

  static bool is_digit(char c) { return c >= '0' && c <= '9'; }

  // One or more digits, as a fraction or an exponent must have.
  bool parse_digits() {
    if (at_end()) {
      return fail_eof("EOF while parsing a value");
    }
    if (!is_digit(text_[pos_])) {
      return fail("invalid number", pos_);
    }
    while (!at_end() && is_digit(text_[pos_])) {
      ++pos_;
    }
    return true;
  }

  bool parse_number(Value& out) {
    const std::size_t start = pos_;
    const bool negative = text_[pos_] == '-';
    if (negative) {
      ++pos_;
      if (at_end()) {
        return fail_eof("EOF while parsing a value");
      }
      if (!is_digit(text_[pos_])) {
        return fail("invalid number", pos_);
      }
    }
    if (text_[pos_] == '0') {
      ++pos_;
      if (!at_end() && is_digit(text_[pos_])) {
        return fail("invalid number", pos_);
      }
    } else {
      while (!at_end() && is_digit(text_[pos_])) {
        ++pos_;
      }
    }
    bool integral = true;
    if (!at_end() && text_[pos_] == '.') {
      integral = false;
      ++pos_;
      if (!parse_digits()) {
        return false;
      }
    }
    if (!at_end() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      integral = false;
      ++pos_;
      if (!at_end() && (text_[pos_] == '+' || text_[pos_] == '-')) {
        ++pos_;
      }
      if (!parse_digits()) {
        return false;
      }
    }
    const char* first = text_.data() + start;
    const char* last = text_.data() + pos_;
    if (integral) {
      if (!negative) {
        std::uint64_t u = 0;
        auto [ptr, ec] = std::from_chars(first, last, u);
        if (ec == std::errc() && ptr == last) {
          out = Value(u);
          return true;
        }
      } else if (last - first > 2 || first[1] != '0') {  // "-0" is a double
        std::int64_t i = 0;
        auto [ptr, ec] = std::from_chars(first, last, i);
        if (ec == std::errc() && ptr == last) {
          out = Value(i);
          return true;
        }
      }
    }
    return parse_double(first, last, out);
  }

  // strtod in the C locale rounds as from_chars does and tells the two ways
  // of being out of range apart: an overflow comes back infinite, a literal
  // too small in magnitude as zero.
  static bool overflows(const char* first, const char* last) {
    const std::string literal(first, last);
    return std::isinf(std::strtod(literal.c_str(), nullptr));
  }

  bool parse_double(const char* first, const char* last, Value& out) {
    double d = 0;
#if defined(__cpp_lib_to_chars)
    auto [ptr, ec] = std::from_chars(first, last, d);
#else
    // libc++ 16 (the clang fuzz build) has no floating-point from_chars.
    const std::string literal(first, last);
    char* end = nullptr;
    errno = 0;
    d = std::strtod(literal.c_str(), &end);
    const char* ptr = first + (end - literal.c_str());
    const std::errc ec = errno == ERANGE && (std::isinf(d) || d == 0)
                             ? std::errc::result_out_of_range
                             : std::errc();
#endif
    if (ec == std::errc::result_out_of_range) {
      if (overflows(first, last)) {
        return fail("number out of range", pos_ - 1);
      }
      d = *first == '-' ? -0.0 : 0.0;
    } else if (ec != std::errc() || ptr != last) {
      return fail("invalid number", pos_ - 1);
    }
    out = Value(d);
    return true;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  int depth_ = 0;
  std::string error_;
};

}  // namespace

std::expected<Value, std::string> parse(std::string_view text) {
  return Parser(text).run();
}

// ---------------------------------------------------------------- writing

void write_string(std::string_view text, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t run = 0;  // start of the bytes not yet copied
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') {
      continue;
    }
    out.append(text.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
  }
  out.append(text.data() + run, text.size() - run);
  out += '"';
}

void write_double(double d, std::string& out) {
  if (d == 0) {
    out += std::signbit(d) ? "-0.0" : "0.0";
    return;
  }
  // Shortest round-trip digits in scientific form: "d.ddde±XX".
  char buf[64];
  auto [end, ec] =
      std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(end - buf));
  const std::size_t e_pos = sci.find('e');
  std::string_view mantissa = sci.substr(0, e_pos);
  int exponent = 0;
  std::from_chars(sci.data() + e_pos + 1 + (sci[e_pos + 1] == '+'),
                  sci.data() + sci.size(), exponent);
  if (mantissa.front() == '-') {
    out += '-';
    mantissa.remove_prefix(1);
  }
  std::string digits;
  for (const char c : mantissa) {
    if (c != '.') {
      digits += c;
    }
  }
  const auto n = static_cast<int>(digits.size());
  if (exponent >= -5 && exponent <= 15) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    } else if (n <= exponent + 1) {
      out += digits;
      out.append(static_cast<std::size_t>(exponent + 1 - n), '0');
      out += ".0";
    } else {
      const auto point = static_cast<std::size_t>(exponent) + 1;
      out.append(digits, 0, point);
      out += '.';
      out.append(digits, point);
    }
    return;
  }
  out += digits.front();
  if (n > 1) {
    out += '.';
    out.append(digits, 1);
  }
  out += exponent < 0 ? "e-" : "e+";
  out += std::to_string(exponent < 0 ? -exponent : exponent);
}

namespace {

// `items` between `open` and `close`, separated by commas.
template <typename Items, typename WriteItem>
void write_list(char open, char close, const Items& items, std::string& out,
                WriteItem write_item) {
  out += open;
  std::string_view separator;
  for (const auto& item : items) {
    out += std::exchange(separator, ",");
    write_item(item);
  }
  out += close;
}

}  // namespace

void write(const Value& value, std::string& out) {
  switch (value.kind()) {
    case Value::Kind::kNull:
      out += "null";
      return;
    case Value::Kind::kBool:
      out += *value.as_bool() ? "true" : "false";
      return;
    case Value::Kind::kUnsigned: {
      char buf[24];
      auto [end, ec] =
          std::to_chars(buf, buf + sizeof buf, *value.as_unsigned());
      out.append(buf, end);
      return;
    }
    case Value::Kind::kSigned: {
      char buf[24];
      auto [end, ec] = std::to_chars(buf, buf + sizeof buf, *value.as_signed());
      out.append(buf, end);
      return;
    }
    case Value::Kind::kDouble:
      write_double(*value.as_double(), out);
      return;
    case Value::Kind::kString:
      write_string(*value.as_string(), out);
      return;
    case Value::Kind::kArray:
      write_list('[', ']', *value.as_array(), out,
                 [&out](const Value& item) { write(item, out); });
      return;
    case Value::Kind::kObject:
      write_list('{', '}', *value.as_object(), out, [&out](const Member& m) {
        write_string(m.key, out);
        out += ':';
        write(m.value, out);
      });
      return;
  }
}

std::string write(const Value& value) {
  std::string out;
  write(value, out);
  return out;
}

}  // namespace vestigor_mcp::json
