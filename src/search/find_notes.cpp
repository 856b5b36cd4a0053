#include "search/find_notes.hpp"

#include <optional>

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
      break;
    }
  }
  const std::optional<LineSpan> span = scan.line_to_read();
  if (!scan.matched() || !span) {
    return scan.matched();
  }
  // The matching line was too long to hold while the note was searched.
  char* room = scan.line_room();
  if (room == nullptr) {
    return false;  // memory cannot hold it: like a note that cannot be read
  }
  const auto read = reader.read_back(span->offset, room, span->size);
  return read && scan.take_line(*read);
}

std::expected<void, std::string> find_with(std::string_view root,
                                           std::string_view query,
                                           std::size_t limit, MatchSink& sink,
                                           const ReaderKnobs& knobs) {
  auto finder = LineFinder::make(query);
  if (!finder) {
    return std::unexpected(finder.error());
  }
  if (!finder->can_match()) {
    return {};
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
  for (std::size_t matches = 0; matches < limit;) {
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
      sink.take(reader->path(), scan.line_number(), scan.line());
      ++matches;
    }
    reader->drop();
  }
  return {};
}

}  // namespace

std::expected<void, std::string> find_notes(std::string_view root,
                                            std::string_view query,
                                            std::size_t limit,
                                            MatchSink& sink) {
  return find_with(root, query, limit, sink, {});
}

std::expected<void, std::string> TEST_find_notes(std::string_view root,
                                                 std::string_view query,
                                                 std::size_t limit,
                                                 MatchSink& sink,
                                                 const ReaderKnobs& knobs) {
  return find_with(root, query, limit, sink, knobs);
}

}  // namespace vestigor_mcp
