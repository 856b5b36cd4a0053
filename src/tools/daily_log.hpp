// daily_log.hpp: appends "- HH:MM text" to daily/YYYY-MM-DD.md in the vault
// for the current local day, creating the folder and the note (with its
// "# YYYY-MM-DD" heading) when missing. One append-mode write per call, so
// concurrent writers never interleave partial lines. Failures carry the
// OS error text; nothing is ever truncated or rewritten.
#pragma once

#include "protocol/json.hpp"
#include "tools/tool_call.hpp"

namespace vestigor_mcp {

ToolOutcome append_daily_log(const json::Value& arguments);

}  // namespace vestigor_mcp
