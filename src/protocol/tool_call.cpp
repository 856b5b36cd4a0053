#include "protocol/tool_call.hpp"

#include <cerrno>
#include <new>
#include <string>
#include <utility>

#include "tools/tool_table.hpp"
#include "util/fd_io.hpp"

namespace vestigor_mcp {

namespace {

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
