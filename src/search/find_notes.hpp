// find_notes.hpp: the search engine's one contract. Walks the notes below
// a root in path order (search/walk.hpp), reads them ahead of the one
// searched (search/note_reader.hpp) and finds in each its first line whose
// Unicode lower-case form holds the lower-cased query (line_finder.hpp),
// stopping at the limit. A note that cannot be read, is not valid UTF-8,
// or has a line too long to hold is skipped. Keeps nothing between calls.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "search/note_reader.hpp"

namespace vestigor_mcp {

struct NoteMatch {
  std::string path;         // the root joined with the note's path below it
  std::size_t line_number;  // from 1
  std::string line;         // the first matching line, untrimmed
};

// The first `limit` matching notes below `root`, in path order. The
// failure is the line finder's (a query it cannot take, or out of memory
// while preparing it); running out of memory later throws.
std::expected<std::vector<NoteMatch>, std::string> find_notes(
    std::string_view root, std::string_view query, std::size_t limit);

// For tests: the same, read with the given knobs.
std::expected<std::vector<NoteMatch>, std::string> TEST_find_notes(
    std::string_view root, std::string_view query, std::size_t limit,
    const ReaderKnobs& knobs);

}  // namespace vestigor_mcp
