// Fuzzes the wire encoding. For any bytes, parse must return (no crash, no
// sanitizer report) either a value or a well-formed error description.
// For every value that parsed, writing it and parsing it back gives an
// equal value, and the written form is a fixed point:
//   parse(write(v)) == v  and  write(parse(write(v))) == write(v).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protocol/json.hpp"
#include "util/unicode.hpp"

namespace {

using vestigor_mcp::json::parse;
using vestigor_mcp::json::Value;
using vestigor_mcp::json::write;

[[noreturn]] void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "json_fuzz: %s: %.*s\n", what,
               static_cast<int>(detail.size()), detail.data());
  std::abort();
}

constexpr std::string_view kMessages[] = {
    "EOF while parsing a list",
    "EOF while parsing an object",
    "EOF while parsing a string",
    "EOF while parsing a value",
    "expected `:`",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "expected ident",
    "expected value",
    "invalid escape",
    "invalid number",
    "number out of range",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "key must be a string",
    "lone leading surrogate in hex escape",
    "trailing comma",
    "trailing characters",
    "unexpected end of hex escape",
    "recursion limit exceeded",
};

bool all_digits(std::string_view s) {
  if (s.empty()) {
    return false;
  }
  for (char c : s) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  return true;
}

// "<message> at line L column C", the message one of the parser's own, L
// at least 1, C at most the input's length.
void check_error(std::string_view error, std::string_view text) {
  const std::size_t at = error.rfind(" at line ");
  const std::size_t col = error.rfind(" column ");
  if (at == std::string_view::npos || col == std::string_view::npos ||
      col < at) {
    fail("malformed error description", error);
  }
  const std::string_view message = error.substr(0, at);
  bool known = false;
  for (std::string_view m : kMessages) {
    known = known || m == message;
  }
  if (!known) {
    fail("unknown error message", error);
  }
  const std::string_view line = error.substr(at + 9, col - at - 9);
  const std::string_view column = error.substr(col + 8);
  if (!all_digits(line) || !all_digits(column) || line == "0") {
    fail("malformed position", error);
  }
  if (std::strtoull(std::string(column).c_str(), nullptr, 10) > text.size()) {
    fail("column beyond the text", error);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto value = parse(text);
  if (!value) {
    check_error(value.error(), text);
    return 0;
  }
  const std::string written = write(*value);
  if (written.find('\n') != std::string::npos) {
    fail("written form spans lines", written);
  }
  if (vestigor_mcp::is_valid_utf8(text) &&
      !vestigor_mcp::is_valid_utf8(written)) {
    fail("UTF-8 input written as invalid UTF-8", written);
  }
  auto again = parse(written);
  if (!again) {
    fail("written form does not parse", again.error());
  }
  if (!(*again == *value)) {
    fail("value changed through write and parse", written);
  }
  const std::string rewritten = write(*again);
  if (rewritten != written) {
    fail("written form not stable", rewritten);
  }
  return 0;
}
