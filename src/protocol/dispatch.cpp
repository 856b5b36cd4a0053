#include "protocol/dispatch.hpp"

#include "protocol/catalog.hpp"
#include "protocol/tool_call.hpp"

namespace vestigor_mcp {

DispatchResult dispatch(std::string_view method, const json::Value& request) {
  if (method == "ping") {
    return json::Value::object();
  }
  if (method == "initialize") {
    return initialize_result();
  }
  if (method == "tools/list") {
    return tools_list_result();
  }
  if (method == "tools/call") {
    return tools_call(request);
  }
  return std::unexpected(
      MethodError{kMethodNotFound, "method not found: " + std::string(method)});
}

}  // namespace vestigor_mcp
