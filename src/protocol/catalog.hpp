// catalog.hpp: the constant answers of the protocol: server information,
// the initialize result and the ordered catalog of the four tools. Built
// from no input; cannot fail.
#pragma once

#include <string_view>

#include "protocol/json.hpp"

namespace vestigor_mcp {

inline constexpr std::string_view kProtocolVersion = "2024-11-05";
inline constexpr std::string_view kServerName = "vestigor-mcp";
inline constexpr std::string_view kServerVersion = "0.1.0";

inline constexpr std::string_view kGetCurrentState = "get_current_state";
inline constexpr std::string_view kListOpenThreads = "list_open_threads";
inline constexpr std::string_view kSearch = "search";
inline constexpr std::string_view kAppendDailyLog = "append_daily_log";

json::Value initialize_result();

// {"tools": [...]} with the four descriptors in catalog order.
json::Value tools_list_result();

}  // namespace vestigor_mcp
