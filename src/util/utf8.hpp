// utf8.hpp: one UTF-8 character decoded forwards or backwards, or encoded.
// Ill-formed bytes decode as kNotUtf8 over their maximal subpart (the
// bytes that could still begin a character), as Unicode recommends.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vestigor_mcp {

inline constexpr char32_t kNotUtf8 = 0xFFFFFFFF;

struct Utf8Char {
  char32_t c;          // kNotUtf8 for an ill-formed sequence
  std::size_t length;  // bytes taken, at least 1
};

// The character that starts at s[at]; `at` must be below `size`.
inline Utf8Char decode_utf8(const unsigned char* s, std::size_t size,
                            std::size_t at) {
  const unsigned lead = s[at];
  if (lead < 0x80) {
    return {lead, 1};
  }
  std::size_t trails = 0;
  char32_t c = 0;
  unsigned low = 0x80;  // the second byte's range
  unsigned high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trails = 1;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trails = 2;
    c = lead & 0x0F;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trails = 3;
    c = lead & 0x07;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return {kNotUtf8, 1};
  }
  std::size_t i = at + 1;
  for (std::size_t k = 0; k < trails; ++k, ++i) {
    if (i == size || s[i] < low || s[i] > high) {
      return {kNotUtf8, i - at};
    }
    c = (c << 6) | (s[i] & 0x3Fu);
    low = 0x80;
    high = 0xBF;
  }
  return {c, i - at};
}

// The character that ends right before s[end]; `end` must be above `begin`.
// When the bytes before `end` are not one whole character, the last byte
// alone, as kNotUtf8.
inline Utf8Char decode_utf8_before(const unsigned char* s, std::size_t begin,
                                   std::size_t end) {
  if (s[end - 1] < 0x80) {
    return {s[end - 1], 1};
  }
  std::size_t lead = end - 1;
  while (lead > begin && end - lead < 4 && (s[lead] & 0xC0) == 0x80) {
    --lead;
  }
  const Utf8Char ch = decode_utf8(s, end, lead);
  if (ch.c != kNotUtf8 && lead + ch.length == end) {
    return ch;
  }
  return {kNotUtf8, 1};
}

// Writes `c` (a scalar value) at `out`; the number of bytes written.
inline std::size_t encode_utf8(char32_t c, char* out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

}  // namespace vestigor_mcp
