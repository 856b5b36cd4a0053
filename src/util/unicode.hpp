// unicode.hpp: the UTF-8 and White_Space questions asked of text, the
// characters' facts taken from char_facts.hpp. Pure functions over byte
// strings; nothing allocates except to_valid_utf8, and nothing fails.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vestigor_mcp {

// True when `bytes` is well-formed UTF-8. Surrogates, overlong forms and
// code points beyond U+10FFFF are ill-formed.
bool is_valid_utf8(std::string_view bytes);

// How many bytes at the front of `bytes` are below 0x80.
std::size_t ascii_prefix(std::string_view bytes);

// True when no byte of `bytes` is 0x80 or above.
inline bool is_ascii(std::string_view bytes) {
  return ascii_prefix(bytes) == bytes.size();
}

// Removes the characters with the Unicode White_Space property from both
// ends. `text` must be valid UTF-8.
std::string_view trim_white_space(std::string_view text);

// Copies `bytes`, replacing each maximal ill-formed subsequence by U+FFFD.
std::string to_valid_utf8(std::string_view bytes);

}  // namespace vestigor_mcp
