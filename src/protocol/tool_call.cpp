#include "protocol/tool_call.hpp"

#include <new>
#include <string>
#include <utility>

#include "tools/tool_table.hpp"
#include "util/fd_io.hpp"

namespace vestigor_mcp {

namespace {

// The string value of `key` in `arguments` (a call's arguments or its
// params), or "" when there are none, they are no object, lack the key,
// or hold something other than a string there.
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
  return tool->run(argument);
}

// The outcome's text is moved, not copied: a note can be megabytes.
json::Value tool_result(ToolOutcome&& outcome) {
  const bool failed = !outcome.has_value();
  json::Value item = json::Value::object();
  item.insert("type", "text");
  item.insert("text",
              failed ? "Error: " + outcome.error() : std::move(*outcome));
  json::Value content = json::Value::array();
  content.push_back(std::move(item));
  json::Value result = json::Value::object();
  result.insert("content", std::move(content));
  result.insert("isError", failed);
  return result;
}

}  // namespace

json::Value tools_call(const json::Value& request) {
  const json::Value* params = request.find("params");
  const std::string_view name = string_argument(params, "name");
  const json::Value* arguments =
      params != nullptr ? params->find("arguments") : nullptr;
  // A tool that cannot get memory, or whose outcome does not fit into a
  // result beside itself, answers with an error; the outcome is gone by
  // then, and the error result is small. The server goes on serving.
  try {
    return tool_result(run_tool(name, arguments));
  } catch (const std::bad_alloc&) {
  }
  return tool_result(
      std::unexpected(os::os_error_text(os::OsError::out_of_memory())));
}

}  // namespace vestigor_mcp
