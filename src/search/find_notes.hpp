// find_notes.hpp: the search engine's one contract. Walks the notes below
// a root in path order (search/walk.hpp), reads them ahead of the one
// searched (search/note_reader.hpp) and finds in each its first line whose
// Unicode lower-case form holds the lower-cased query (line_finder.hpp),
// stopping at the limit. A note that cannot be read, is not valid UTF-8,
// or whose matching line memory cannot hold is skipped. Keeps nothing
// between calls.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "search/note_reader.hpp"

namespace vestigor_mcp {

// Takes each matching note as it is found, in path order.
class MatchSink {
 public:
  // `path` is the root joined with the note's path below it; `line`, the
  // first matching line (untrimmed), numbered from 1.
  virtual void take(std::string_view path, std::size_t line_number,
                    std::string_view line) = 0;

 protected:
  ~MatchSink() = default;
};

// Gives `sink` the first `limit` matching notes below `root`, in path
// order. The failure is the line finder's (a query it cannot take, or out
// of memory while preparing it); running out of memory later throws.
std::expected<void, std::string> find_notes(std::string_view root,
                                            std::string_view query,
                                            std::size_t limit, MatchSink& sink);

// For tests: the same, read with the given knobs.
std::expected<void, std::string> TEST_find_notes(std::string_view root,
                                                 std::string_view query,
                                                 std::size_t limit,
                                                 MatchSink& sink,
                                                 const ReaderKnobs& knobs);

}  // namespace vestigor_mcp
