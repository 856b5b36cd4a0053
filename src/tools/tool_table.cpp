#include "tools/tool_table.hpp"

#include <array>

#include "tools/daily_log.hpp"
#include "tools/search.hpp"
#include "tools/snapshots.hpp"

namespace vestigor_mcp {

namespace {

constexpr std::array<Tool, 4> kTools = {{
    {"get_current_state",
     "Return the vault's current-state.md - the 'answer before the "
     "question' snapshot of what is true and active right now.",
     "", "", [](std::string_view) { return get_current_state(); }},
    {"list_open_threads",
     "Return the open threads / loops currently in flight "
     "(open-threads.md).",
     "", "", [](std::string_view) { return list_open_threads(); }},
    {"search",
     "Case-insensitive substring search across all markdown notes in the "
     "vault. Returns matching file paths with the first matching line.",
     "query", "Text to search for", search},
    {"append_daily_log",
     "Append a timestamped entry to today's daily log "
     "(daily/YYYY-MM-DD.md). Use this to record what happened so it can be "
     "consolidated later.",
     "text", "The entry to append", append_daily_log},
}};

}  // namespace

std::span<const Tool> tool_table() { return kTools; }

const Tool* find_tool(std::string_view name) {
  for (const Tool& tool : kTools) {
    if (tool.name == name) {
      return &tool;
    }
  }
  return nullptr;
}

}  // namespace vestigor_mcp
