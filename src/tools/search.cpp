#include "tools/search.hpp"

#include <cerrno>
#include <string>

#include "search/line_finder.hpp"
#include "search/note_scan.hpp"
#include "search/walk.hpp"
#include "util/fd_io.hpp"
#include "util/unicode.hpp"

namespace vestigor_mcp {

namespace {

ToolOutcome search_notes(std::string_view query, ReadWay way,
                         std::size_t piece_bytes, std::size_t ring_after) {
  if (trim_white_space(query).empty()) {
    return std::unexpected("query is empty");
  }
  const auto vault = vault_root();
  if (!vault) {
    return std::unexpected(vault.error());
  }
  auto finder = LineFinder::make(query);
  if (!finder) {
    return std::unexpected(finder.error());
  }
  std::string lines;  // the match lines, each after a LF
  std::size_t matches = 0;
  if (finder->can_match()) {
    // The walk runs ahead of the search by the reader's window; the notes
    // are searched strictly in the order the walk met them.
    NoteWalk walk(*vault);
    NoteReader reader(way, piece_bytes, ring_after);
    NoteScan scan(*finder);
    bool walked = false;
    while (matches < kMaxSearchMatches) {
      while (!walked && reader.has_room()) {
        const std::expected<bool, int> more = walk.next();
        if (!more) {
          return std::unexpected(os_error_text(more.error()));
        }
        if (!*more) {
          walked = true;
        } else if (const auto added = reader.add(walk); !added) {
          return std::unexpected(os_error_text(added.error()));
        }
      }
      if (reader.empty()) {
        break;
      }
      scan.start();
      for (;;) {
        // A note that cannot be read is skipped, wherever it fails.
        const auto piece = reader.next_piece();
        if (!piece) {
          break;
        }
        const auto more = scan.take(
            piece->bytes, piece->last ? PieceEnd::kLast : PieceEnd::kMore);
        if (!more) {
          return std::unexpected(more.error());
        }
        if (!*more) {
          break;
        }
      }
      if (scan.matched()) {
        lines += '\n';
        lines += display_path(reader.path(), *vault);
        lines += ':';
        lines += std::to_string(scan.line_number());
        lines += ": ";
        lines += trim_white_space(scan.line());
        ++matches;
      }
      reader.drop();
    }
  }
  if (matches == 0) {
    return "No matches for \"" + std::string(query) + "\".";
  }
  return std::to_string(matches) + " file match(es) for \"" +
         std::string(query) + "\":\n" + lines;
}

}  // namespace

ToolOutcome search(std::string_view query) {
  return search_notes(query, ReadWay::kRing, kNotePieceBytes, kRingAfterNotes);
}

ToolOutcome TEST_search(std::string_view query, ReadWay way,
                        std::size_t piece_bytes) {
  return search_notes(query, way, piece_bytes, 0);
}

}  // namespace vestigor_mcp
