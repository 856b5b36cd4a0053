// dispatch.hpp: the method router. Answers "ping", "initialize" and
// "tools/list" from constant data, hands "tools/call" to tools_call, and
// gives every other method name the -32601 method error. Keeps no state
// and writes nothing.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "protocol/json.hpp"

namespace vestigor_mcp {

inline constexpr std::int64_t kMethodNotFound = -32601;

struct MethodError {
  std::int64_t code;
  std::string message;
};

using DispatchResult = std::expected<json::Value, MethodError>;

// `request` is the whole parsed request message, borrowed read-only.
DispatchResult dispatch(std::string_view method, const json::Value& request);

}  // namespace vestigor_mcp
