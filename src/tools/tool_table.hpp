// tool_table.hpp: the four tools as one constant table, in catalog order:
// the single source of both the "tools/list" catalog and the tool that a
// "tools/call" runs. tools_call picks a tool by exact name, hands it its
// one string argument, and wraps the outcome into the tool result
// {"content":[{"text":...,"type":"text"}],"isError":...}. Every failure,
// an unknown tool and running out of memory included, comes back inside
// that result; nothing is written to the standard streams.
#pragma once

#include <span>
#include <string_view>

#include "protocol/json.hpp"
#include "tools/vault.hpp"

namespace vestigor_mcp {

struct Tool {
  std::string_view name;
  std::string_view description;
  std::string_view argument;  // empty: the tool takes none
  std::string_view argument_description;
  // Runs the tool on its argument's string value ("" when the call's
  // arguments lack it or hold something other than a string there).
  ToolOutcome (*run)(std::string_view argument);
};

// The tools in catalog order.
std::span<const Tool> tool_table();

// `request` is the whole request message; the result is always a tool
// result.
json::Value tools_call(const json::Value& request);

}  // namespace vestigor_mcp
