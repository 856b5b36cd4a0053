#include "util/unicode.hpp"

#include <cstdint>
#include <cstring>

#include "util/char_facts.hpp"
#include "util/utf8.hpp"

namespace vestigor_mcp {

// 32 and then eight bytes at a time.
std::size_t ascii_prefix(std::string_view bytes) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  const char* data = bytes.data();
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i + 32 <= size) {
    std::uint64_t w[4];
    std::memcpy(w, data + i, sizeof w);
    if (((w[0] | w[1] | w[2] | w[3]) & kHighBits) != 0) {
      break;
    }
    i += 32;
  }
  while (i + 8 <= size) {
    std::uint64_t w;
    std::memcpy(&w, data + i, sizeof w);
    if ((w & kHighBits) != 0) {
      break;
    }
    i += 8;
  }
  while (i < size && static_cast<unsigned char>(data[i]) < 0x80) {
    ++i;
  }
  return i;
}

bool is_valid_utf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    if (s[i] < 0x80) {
      i += ascii_prefix(bytes.substr(i));
      continue;
    }
    const Utf8Char ch = decode_utf8(s, size, i);
    if (ch.c == kNotUtf8) {
      return false;
    }
    i += ch.length;
  }
  return true;
}

std::string_view trim_white_space(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end) {
    const Utf8Char ch = decode_utf8(s, end, begin);
    if (ch.c == kNotUtf8 || !is_white_space(ch.c)) {
      break;
    }
    begin += ch.length;
  }
  while (end > begin) {
    const Utf8Char ch = decode_utf8_before(s, begin, end);
    if (ch.c == kNotUtf8 || !is_white_space(ch.c)) {
      break;
    }
    end -= ch.length;
  }
  return text.substr(begin, end - begin);
}

std::string to_valid_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    const Utf8Char ch = decode_utf8(s, size, i);
    if (ch.c == kNotUtf8) {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(bytes.data() + i, ch.length);
    }
    i += ch.length;
  }
  return out;
}

}  // namespace vestigor_mcp
