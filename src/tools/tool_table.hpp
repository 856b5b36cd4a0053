// tool_table.hpp: the tools as one constant table, in catalog order: the
// single source of both the "tools/list" catalog and the tool that a
// "tools/call" runs. Plain names and functions; the wire's side of a call
// (its arguments and its result) belongs to the protocol layer.
#pragma once

#include <span>
#include <string_view>

#include "tools/tool_outcome.hpp"

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

// The tool named exactly `name`; nullptr when there is none.
const Tool* find_tool(std::string_view name);

}  // namespace vestigor_mcp
