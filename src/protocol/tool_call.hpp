// tool_call.hpp: "tools/call" on the wire. tools_call picks a tool from
// the tool table by exact name, hands it its one string argument, and
// moves the outcome into the tool result
// {"content":[{"text":...,"type":"text"}],"isError":...}. Every failure,
// an unknown tool and running out of memory included, comes back inside
// that result; nothing is written to the standard streams.
#pragma once

#include "protocol/json.hpp"

namespace vestigor_mcp {

// `request` is the whole request message; the result is always a tool
// result.
json::Value tools_call(const json::Value& request);

}  // namespace vestigor_mcp
