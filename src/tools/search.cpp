#include "tools/search.hpp"

#include <string>

#include "search/find_notes.hpp"
#include "tools/vault.hpp"
#include "util/unicode.hpp"

namespace vestigor_mcp {

namespace {

using Found = std::expected<std::vector<NoteMatch>, std::string>;

// The search, run by `find` on the vault once the query is known to hold
// more than white space.
template <typename Find>
ToolOutcome search_notes(std::string_view query, Find&& find) {
  if (trim_white_space(query).empty()) {
    return std::unexpected("query is empty");
  }
  const auto vault = vault_root();
  if (!vault) {
    return std::unexpected(vault.error());
  }
  const Found found = find(*vault);
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
    text += display_path(match.path, *vault);
    text += ':';
    text += std::to_string(match.line_number);
    text += ": ";
    text += trim_white_space(match.line);
  }
  return text;
}

}  // namespace

ToolOutcome search(std::string_view query) {
  return search_notes(query, [&](const std::string& vault) {
    return find_notes(vault, query, kMaxSearchMatches);
  });
}

ToolOutcome TEST_search(std::string_view query, TEST_ReadWay way,
                        std::size_t piece_bytes) {
  return search_notes(query, [&](const std::string& vault) {
    return TEST_find_notes(vault, query, kMaxSearchMatches,
                           {way, piece_bytes, 0});
  });
}

}  // namespace vestigor_mcp
