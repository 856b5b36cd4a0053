// tool_outcome.hpp: what one tool yields: the success text, or the failure
// message, which the protocol layer turns into the tool result.
#pragma once

#include <expected>
#include <string>

namespace vestigor_mcp {

using ToolOutcome = std::expected<std::string, std::string>;

}  // namespace vestigor_mcp
