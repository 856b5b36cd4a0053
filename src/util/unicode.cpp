#include "util/unicode.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstring>

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
  const auto* s = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const auto length = static_cast<std::int64_t>(bytes.size());
  std::int64_t i = 0;
  while (i < length) {
    if (s[i] < 0x80) {
      i += static_cast<std::int64_t>(
          ascii_prefix(bytes.substr(static_cast<std::size_t>(i))));
      continue;
    }
    UChar32 c = 0;
    U8_NEXT(s, i, length, c);
    if (c < 0) {
      return false;
    }
  }
  return true;
}

std::string_view trim_white_space(std::string_view text) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int64_t>(text.size());
  std::int64_t begin = 0;
  while (begin < length) {
    std::int64_t next = begin;
    UChar32 c = 0;
    U8_NEXT(s, next, length, c);
    if (c < 0 || !u_isUWhiteSpace(c)) {
      break;
    }
    begin = next;
  }
  std::int64_t end = length;
  while (end > begin) {
    // Step back to the lead byte of the last character, then decode it
    // forwards; it must end exactly where the text does.
    std::int64_t lead = end - 1;
    while (lead > begin && end - lead < 4 && U8_IS_TRAIL(s[lead])) {
      --lead;
    }
    std::int64_t next = lead;
    UChar32 c = 0;
    U8_NEXT(s, next, end, c);
    if (c < 0 || next != end || !u_isUWhiteSpace(c)) {
      break;
    }
    end = lead;
  }
  return text.substr(static_cast<std::size_t>(begin),
                     static_cast<std::size_t>(end - begin));
}

std::string to_valid_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  const auto* s = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const auto length = static_cast<std::int64_t>(bytes.size());
  std::int64_t i = 0;
  while (i < length) {
    const std::int64_t start = i;
    UChar32 c = 0;
    U8_NEXT(s, i, length, c);
    if (c < 0) {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(bytes.data() + start, static_cast<std::size_t>(i - start));
    }
  }
  return out;
}

}  // namespace vestigor_mcp
