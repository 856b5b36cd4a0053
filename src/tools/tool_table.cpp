#include "tools/tool_table.hpp"

#include <array>
#include <cerrno>
#include <new>
#include <string>

#include "tools/daily_log.hpp"
#include "tools/search.hpp"
#include "tools/snapshots.hpp"
#include "util/fd_io.hpp"

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

const Tool* find_tool(std::string_view name) {
  for (const Tool& tool : kTools) {
    if (tool.name == name) {
      return &tool;
    }
  }
  return nullptr;
}

// The string value of `key` in `arguments`, or "" when there are no
// arguments, they are no object, lack the key, or hold something other
// than a string there.
std::string_view string_argument(const json::Value* arguments,
                                 std::string_view key) {
  if (arguments == nullptr) {
    return {};
  }
  if (const json::Value* v = arguments->find(key)) {
    if (const std::string* s = v->as_string()) {
      return *s;
    }
  }
  return {};
}

ToolOutcome run_tool(std::string_view name, const json::Value* arguments) {
  const Tool* tool = find_tool(name);
  if (tool == nullptr) {
    return std::unexpected("unknown tool: " + std::string(name));
  }
  const std::string_view argument =
      tool->argument.empty() ? std::string_view()
                             : string_argument(arguments, tool->argument);
  // A tool that cannot get memory answers with an error; the server goes
  // on serving.
  try {
    return tool->run(argument);
  } catch (const std::bad_alloc&) {
    return std::unexpected(os_error_text(ENOMEM));
  }
}

json::Value tool_result(const ToolOutcome& outcome) {
  json::Value item = json::Value::object();
  item.insert("type", "text");
  item.insert("text", outcome ? *outcome : "Error: " + outcome.error());
  json::Value content = json::Value::array();
  content.push_back(std::move(item));
  json::Value result = json::Value::object();
  result.insert("content", std::move(content));
  result.insert("isError", !outcome.has_value());
  return result;
}

}  // namespace

std::span<const Tool> tool_table() { return kTools; }

json::Value tools_call(const json::Value& request) {
  const json::Value* params = request.find("params");
  std::string_view name;
  const json::Value* arguments = nullptr;
  if (params != nullptr) {
    if (const json::Value* n = params->find("name")) {
      if (const std::string* s = n->as_string()) {
        name = *s;
      }
    }
    if (const json::Value* a = params->find("arguments")) {
      arguments = a;
    }
  }
  try {
    return tool_result(run_tool(name, arguments));
  } catch (const std::bad_alloc&) {
    // The outcome did not fit into a result beside itself; it is gone
    // now, and the error result is small.
  }
  return tool_result(std::unexpected(os_error_text(ENOMEM)));
}

}  // namespace vestigor_mcp
