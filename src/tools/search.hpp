// search.hpp: the search tool: case-insensitive substring search over the
// vault's notes. Reports, for at most 50 notes in path order, the first
// line whose Unicode lower-case form holds the lower-cased query. An empty
// query or an unset vault is a failure outcome, and so is running out of
// memory; unreadable or non-UTF-8 notes are skipped. Stops reading at the
// 50th match. Never writes, keeps nothing between calls, builds no index.
#pragma once

#include <cstddef>
#include <string_view>

#include "tools/vault.hpp"

namespace vestigor_mcp {

inline constexpr std::size_t kMaxSearchMatches = 50;

// `query` is the call's "query" argument, used exactly as received.
ToolOutcome search(std::string_view query);

}  // namespace vestigor_mcp
