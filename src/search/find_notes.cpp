#include "search/find_notes.hpp"

#include "search/line_finder.hpp"
#include "search/note_scan.hpp"
#include "search/walk.hpp"

namespace vestigor_mcp {

namespace {

// Searches the reader's front note: whether it matched.
std::expected<bool, std::string> scan_front(NoteReader& reader,
                                            NoteScan& scan) {
  scan.start();
  for (;;) {
    // A note that cannot be read is skipped, wherever it fails.
    const auto piece = reader.next_piece();
    if (!piece) {
      return false;
    }
    const auto more = scan.take(
        piece->bytes, piece->last ? PieceEnd::kLast : PieceEnd::kMore);
    if (!more) {
      return std::unexpected(more.error());
    }
    if (!*more) {
      return scan.matched();
    }
  }
}

std::expected<std::vector<NoteMatch>, std::string> find_with(
    std::string_view root, std::string_view query, std::size_t limit,
    const ReaderKnobs& knobs) {
  auto finder = LineFinder::make(query);
  if (!finder) {
    return std::unexpected(finder.error());
  }
  std::vector<NoteMatch> matches;
  if (!finder->can_match()) {
    return matches;
  }
  // The walk runs ahead of the search by the reader's window; the notes
  // are searched strictly in the order the walk met them. Should the
  // descriptors run out, the notes held ahead are searched first, and
  // the walk or the reader tries again.
  NoteWalk walk(root);
  const std::unique_ptr<NoteReader> reader = make_note_reader(knobs);
  NoteScan scan(*finder);
  bool walked = false;
  bool at_note = false;  // the walk's note is still to be added
  while (matches.size() < limit) {
    bool starved = false;
    while (!walked && !starved && reader->has_room()) {
      if (!at_note) {
        const os::Result<bool> more = walk.next();
        if (!more) {
          if (reader->empty()) {
            walk.pass();  // none held: this folder cannot be opened
          } else {
            starved = true;
          }
          continue;
        }
        walked = !*more;
        at_note = *more;
        continue;
      }
      if (reader->add(walk.folder(), walk.name(), walk.path())) {
        at_note = false;
      } else {
        starved = true;
      }
    }
    if (reader->empty()) {
      break;
    }
    const auto matched = scan_front(*reader, scan);
    if (!matched) {
      return std::unexpected(matched.error());
    }
    if (*matched) {
      matches.push_back({std::string(reader->path()), scan.line_number(),
                         std::string(scan.line())});
    }
    reader->drop();
  }
  return matches;
}

}  // namespace

std::expected<std::vector<NoteMatch>, std::string> find_notes(
    std::string_view root, std::string_view query, std::size_t limit) {
  return find_with(root, query, limit, {});
}

std::expected<std::vector<NoteMatch>, std::string> TEST_find_notes(
    std::string_view root, std::string_view query, std::size_t limit,
    const ReaderKnobs& knobs) {
  return find_with(root, query, limit, knobs);
}

}  // namespace vestigor_mcp
