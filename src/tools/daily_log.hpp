// daily_log.hpp: appends "- HH:MM text" to daily/YYYY-MM-DD.md in the vault
// for the current local day (TZ when set, else the system zone), creating
// the folder and the note (with its "# YYYY-MM-DD" heading) when missing.
// One append-mode write per call, so concurrent writers never interleave
// partial lines. Failures carry the OS error text ("<strerror> (os error
// N)", never a path); nothing is ever truncated or rewritten.
#pragma once

#include <expected>
#include <string>

#include "protocol/json.hpp"
#include "tools/tool_call.hpp"

namespace vestigor_mcp {

ToolOutcome append_daily_log(const json::Value& arguments);

// Creates the folder `path` and every missing folder above it, each with
// mode 0777 reduced by the umask. A folder that exists already (links
// followed) is no error; anything else in the way is EEXIST. The failure is
// the errno of the first step that failed.
std::expected<void, int> make_directories(const std::string& path);

}  // namespace vestigor_mcp
