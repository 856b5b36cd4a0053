#include "tools/search.hpp"

#include <string>

#include "search/find_notes.hpp"
#include "tools/vault.hpp"
#include "util/unicode.hpp"

namespace vestigor_mcp {

namespace {

// The reply: the matches' count and the query, then one line per match.
ToolOutcome reply(
    std::string_view query, const std::string& vault,
    const std::expected<std::vector<NoteMatch>, std::string>& found) {
  if (!found) {
    return std::unexpected(found.error());
  }
  if (found->empty()) {
    return "No matches for \"" + std::string(query) + "\".";
  }
  std::string text = std::to_string(found->size()) + " file match(es) for \"" +
                     std::string(query) + "\":\n";
  for (const NoteMatch& match : *found) {
    text += '\n';
    text += display_path(match.path, vault);
    text += ':';
    text += std::to_string(match.line_number);
    text += ": ";
    text += trim_white_space(match.line);
  }
  return text;
}

// The search, read with `knobs` (null: the way this system reads).
ToolOutcome search_notes(std::string_view query, const ReaderKnobs* knobs) {
  if (trim_white_space(query).empty()) {
    return std::unexpected("query is empty");
  }
  const auto vault = vault_root();
  if (!vault) {
    return std::unexpected(vault.error());
  }
  return reply(query, *vault,
               knobs == nullptr
                   ? find_notes(*vault, query, kMaxSearchMatches)
                   : TEST_find_notes(*vault, query, kMaxSearchMatches, *knobs));
}

}  // namespace

ToolOutcome search(std::string_view query) {
  return search_notes(query, nullptr);
}

ToolOutcome TEST_search(std::string_view query, TEST_ReadWay way,
                        std::size_t piece_bytes) {
  const ReaderKnobs knobs{way, piece_bytes, 0};
  return search_notes(query, &knobs);
}

}  // namespace vestigor_mcp
