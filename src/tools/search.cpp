#include "tools/search.hpp"

#include <string>

#include "search/find_notes.hpp"
#include "tools/vault.hpp"
#include "util/unicode.hpp"

namespace vestigor_mcp {

namespace {

// The reply's lines, one per match, each after a line feed.
class ReplyLines final : public MatchSink {
 public:
  explicit ReplyLines(const std::string& vault) : vault_(vault) {}
  void take(std::string_view path, std::size_t line_number,
            std::string_view line) override {
    text += '\n';
    text += display_path(path, vault_);
    text += ':';
    text += std::to_string(line_number);
    text += ": ";
    text += trim_white_space(line);
    ++count;
  }
  std::string text;
  std::size_t count = 0;

 private:
  const std::string& vault_;
};

// The search, read with `knobs` (null: the way this system reads).
ToolOutcome search_notes(std::string_view query, const ReaderKnobs* knobs) {
  if (trim_white_space(query).empty()) {
    return std::unexpected("query is empty");
  }
  const auto vault = vault_root();
  if (!vault) {
    return std::unexpected(vault.error());
  }
  ReplyLines lines(*vault);
  const auto found =
      knobs == nullptr
          ? find_notes(*vault, query, kMaxSearchMatches, lines)
          : TEST_find_notes(*vault, query, kMaxSearchMatches, lines, *knobs);
  if (!found) {
    return std::unexpected(found.error());
  }
  if (lines.count == 0) {
    return "No matches for \"" + std::string(query) + "\".";
  }
  return std::to_string(lines.count) + " file match(es) for \"" +
         std::string(query) + "\":\n" + lines.text;
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
