// char_facts.hpp: what the server asks of Unicode characters, answered from
// tables generated from the Unicode Character Database (unicode_tables.inc):
// the lower-case form of a UTF-8 text (full mappings, Final_Sigma decided
// within the text, no language's rules), White_Space, and which characters
// lower into a given one. Nothing here fails but for want of memory.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "util/buffer.hpp"

namespace vestigor_mcp {

// For tests (they exist to be checked against an oracle):
// The Unicode version the tables were generated from, e.g. "15.0.0".
std::string_view TEST_unicode_version();

// Appends the lower-case form of `text` to `out`. Ill-formed bytes are
// copied as they are and end any Final_Sigma context. False when out of
// memory (`out` then holds an unfinished form).
[[nodiscard]] bool append_lower_case(std::string_view text, Buffer& out);

bool is_white_space(char32_t c);
// For tests: the properties the lower-casing is built from, each checked
// against an oracle.
bool TEST_is_cased(char32_t c);
bool TEST_is_case_ignorable(char32_t c);
bool TEST_changes_when_lowercased(char32_t c);

// For tests: a character's full lower-case form outside a Final_Sigma
// context, one to three characters.
struct LowerForm {
  std::array<char32_t, 3> chars{};
  std::size_t size = 0;
};
LowerForm TEST_lower_form(char32_t c);

// The characters whose lower-case form, in some context, holds `target`,
// ascending: those that change when lowered, and `target` itself when it
// does not. `alone` when that form is the one character `target`.
struct LowerCaseSource {
  char32_t source = 0;
  bool alone = false;
};
inline constexpr std::size_t kMaxLowerCaseSources = 8;
struct LowerCaseSources {
  std::array<LowerCaseSource, kMaxLowerCaseSources> items{};
  std::size_t size = 0;
};
LowerCaseSources lower_case_sources(char32_t target);

}  // namespace vestigor_mcp
