// catalog.hpp: the protocol's constant answers: the initialize result
// (protocol version and server information) and the "tools/list" result,
// built from the tool table. Built from no input; cannot fail.
#pragma once

#include <string_view>

#include "protocol/json.hpp"

namespace vestigor_mcp {

inline constexpr std::string_view kProtocolVersion = "2024-11-05";
inline constexpr std::string_view kServerName = "vestigor-mcp";

json::Value initialize_result();

// {"tools": [...]}: one descriptor per tool, in the tool table's order.
json::Value tools_list_result();

}  // namespace vestigor_mcp
