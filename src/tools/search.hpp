// search.hpp: the search tool: the engine's matches (search/find_notes.hpp)
// as the reply's text. Reports, for at most 50 notes in path order, the
// first line whose Unicode lower-case form holds the lower-cased query. An
// empty query or an unset vault is a failure outcome, and so is running
// out of memory; unreadable or non-UTF-8 notes are skipped, and so is a
// note whose matching line memory cannot hold. Notes are read in pieces,
// ahead of the one searched, so memory stays bounded by a constant and the
// longest line reported. Stops reading at the 50th match. Never writes,
// keeps nothing between calls, builds no index.
#pragma once

#include <cstddef>
#include <string_view>

#include "search/note_reader.hpp"
#include "tools/tool_outcome.hpp"

namespace vestigor_mcp {

inline constexpr std::size_t kMaxSearchMatches = 50;

// `query` is the call's "query" argument, used exactly as received.
ToolOutcome search(std::string_view query);

// For tests: the search read the given way (or the next this system has)
// from its first note, in pieces of the given size.
ToolOutcome TEST_search(std::string_view query, TEST_ReadWay way,
                        std::size_t piece_bytes);

}  // namespace vestigor_mcp
