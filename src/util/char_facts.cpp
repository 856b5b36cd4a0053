#include "util/char_facts.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "util/unicode.hpp"
#include "util/utf8.hpp"

namespace vestigor_mcp {

namespace {

#include "util/unicode_tables.inc"

constexpr std::uint16_t kCased = 1;
constexpr std::uint16_t kCaseIgnorable = 2;
constexpr std::uint16_t kWhiteSpace = 4;
constexpr std::uint16_t kChangesWhenLowercased = 8;
constexpr std::uint16_t kLoweredInto = 16;
constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kFinalSigma = 0x03C2;

std::uint16_t value_of(char32_t c) {
  if (c < kTableEnd) {
    constexpr char32_t kBlockMask = (char32_t{1} << kBlockShift) - 1;
    const std::size_t block = kStage1[c >> kBlockShift];
    return kValues[kStage2[(block << kBlockShift) | (c & kBlockMask)]];
  }
  for (const TailRange& range : kTail) {
    if (c >= range.first && c <= range.last) {
      return range.value;
    }
  }
  return 0;
}

// A text's characters outside ASCII, from one place on, for the
// Final_Sigma context: whether a cased letter comes first in that
// direction, passing over case-ignorable characters. A character that is
// both counts as case-ignorable; ill-formed bytes end the context.
bool cased_after(const unsigned char* s, std::size_t size, std::size_t at) {
  while (at < size) {
    const Utf8Char ch = decode_utf8(s, size, at);
    if (ch.c == kNotUtf8) {
      return false;
    }
    const std::uint16_t v = value_of(ch.c);
    if ((v & kCaseIgnorable) == 0) {
      return (v & kCased) != 0;
    }
    at += ch.length;
  }
  return false;
}

bool cased_before(const unsigned char* s, std::size_t at) {
  while (at > 0) {
    const Utf8Char ch = decode_utf8_before(s, 0, at);
    if (ch.c == kNotUtf8) {
      return false;
    }
    const std::uint16_t v = value_of(ch.c);
    if ((v & kCaseIgnorable) == 0) {
      return (v & kCased) != 0;
    }
    at -= ch.length;
  }
  return false;
}

// Lowers the ASCII bytes of s[0, n) into out, eight at a time: the bytes
// from 'A' to 'Z' get 0x20 added.
void lower_ascii_run(const char* s, std::size_t n, char* out) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w = 0;
    std::memcpy(&w, s + i, 8);
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    // Each byte is below 0x80: adding keeps within the byte.
    const std::uint64_t at_least_a = w + (0x80 - 'A') * kOnes;
    const std::uint64_t above_z = w + (0x80 - 'Z' - 1) * kOnes;
    const std::uint64_t upper = (at_least_a & ~above_z) & (0x80 * kOnes);
    w |= upper >> 2;
    std::memcpy(out + i, &w, 8);
  }
  for (; i < n; ++i) {
    const char c = s[i];
    out[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
  }
}

}  // namespace

std::string_view TEST_unicode_version() { return kUnicodeVersion; }

bool is_white_space(char32_t c) { return (value_of(c) & kWhiteSpace) != 0; }
bool TEST_is_cased(char32_t c) { return (value_of(c) & kCased) != 0; }
bool TEST_is_case_ignorable(char32_t c) {
  return (value_of(c) & kCaseIgnorable) != 0;
}
bool TEST_changes_when_lowercased(char32_t c) {
  return (value_of(c) & kChangesWhenLowercased) != 0;
}

LowerForm TEST_lower_form(char32_t c) {
  const unsigned index = value_of(c) >> kIndexShift;
  LowerForm form;
  if (index < kLongFormsFirst) {
    form.chars[0] =
        static_cast<char32_t>(static_cast<std::int32_t>(c) + kDeltas[index]);
    form.size = 1;
    return form;
  }
  const LongForm& long_form = kLongForms[index - kLongFormsFirst];
  for (const char32_t x : long_form.to) {
    if (x != 0) {
      form.chars[form.size++] = x;
    }
  }
  return form;
}

LowerCaseSources lower_case_sources(char32_t target) {
  LowerCaseSources found;
  const auto add = [&](char32_t source, bool alone) {
    if (found.size < kMaxLowerCaseSources) {
      found.items[found.size++] = {source, alone};
    }
  };
  const std::uint16_t value = value_of(target);
  if ((value & kChangesWhenLowercased) == 0) {
    add(target, true);
  }
  if ((value & kLoweredInto) == 0) {
    return found;  // no other character lowers into it
  }
  // A one-character form is the source moved by one of the deltas.
  for (std::size_t i = 1; i < std::size(kDeltas); ++i) {
    const auto source = static_cast<std::int64_t>(target) - kDeltas[i];
    if (source >= 0 && source <= 0x10FFFF) {
      const auto c = static_cast<char32_t>(source);
      if ((value_of(c) >> kIndexShift) == i) {
        add(c, true);
      }
    }
  }
  for (const LongForm& long_form : kLongForms) {
    // Unused places hold 0, which is no character of a long form.
    if (target != 0 &&
        std::find(std::begin(long_form.to), std::end(long_form.to), target) !=
            std::end(long_form.to)) {
      add(long_form.from, false);
    }
  }
  if (target == kFinalSigma) {
    add(kCapitalSigma, true);
  }
  std::sort(found.items.begin(), found.items.begin() + found.size,
            [](const LowerCaseSource& x, const LowerCaseSource& y) {
              return x.source < y.source;
            });
  return found;
}

bool append_lower_case(std::string_view text, Buffer& out) {
  // No form is more than half as long again as its character (the
  // generator checks this), so one reservation covers the whole text.
  const std::size_t start = out.size();
  if (!out.reserve(start + text.size() + text.size() / 2 + 8)) {
    return false;
  }
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  char* o = out.data() + start;
  std::size_t i = 0;
  while (i < size) {
    if (s[i] < 0x80) {
      const std::size_t run = i + ascii_prefix(text.substr(i));
      lower_ascii_run(text.data() + i, run - i, o);
      o += run - i;
      i = run;
      continue;
    }
    const Utf8Char ch = decode_utf8(s, size, i);
    const std::uint16_t v =
        ch.c == kNotUtf8 ? std::uint16_t{0} : value_of(ch.c);
    const unsigned index = v >> kIndexShift;
    if (index == 0) {
      std::memcpy(o, s + i, ch.length);
      o += ch.length;
    } else if (index < kLongFormsFirst) {
      char32_t lower = static_cast<char32_t>(static_cast<std::int32_t>(ch.c) +
                                             kDeltas[index]);
      if (ch.c == kCapitalSigma && cased_before(s, i) &&
          !cased_after(s, size, i + ch.length)) {
        lower = kFinalSigma;
      }
      o += encode_utf8(lower, o);
    } else {
      for (const char32_t x : kLongForms[index - kLongFormsFirst].to) {
        if (x != 0) {
          o += encode_utf8(x, o);
        }
      }
    }
    i += ch.length;
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return true;
}

}  // namespace vestigor_mcp
