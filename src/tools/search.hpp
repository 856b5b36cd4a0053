// search.hpp: case-insensitive substring search over the vault's notes.
// Reports, for at most 50 notes in path order, the first line whose
// Unicode lower-case form holds the lower-cased query. An empty query or
// an unset vault is a failure outcome; unreadable or non-UTF-8 notes are
// skipped. Never writes, keeps nothing between calls.
#pragma once

#include <string>
#include <vector>

#include "protocol/json.hpp"
#include "tools/tool_call.hpp"

namespace vestigor_mcp {

inline constexpr std::size_t kMaxSearchMatches = 50;

// Appends the path of every note (extension exactly "md") below
// `directory`, skipping names that begin with "."; unsorted. Never fails.
void collect_md(const std::string& directory, std::vector<std::string>& files);

ToolOutcome search(const json::Value& arguments);

}  // namespace vestigor_mcp
