#include "protocol/catalog.hpp"

#include "protocol/version.hpp"
#include "tools/tool_table.hpp"

namespace vestigor_mcp {

namespace {

json::Value input_schema(const Tool& tool) {
  json::Value schema = json::Value::object();
  schema.insert("type", "object");
  schema.insert("additionalProperties", false);
  json::Value properties = json::Value::object();
  if (!tool.argument.empty()) {
    json::Value argument = json::Value::object();
    argument.insert("type", "string");
    argument.insert("description", tool.argument_description);
    properties.insert(std::string(tool.argument), std::move(argument));
    json::Value required = json::Value::array();
    required.push_back(tool.argument);
    schema.insert("required", std::move(required));
  }
  schema.insert("properties", std::move(properties));
  return schema;
}

}  // namespace

json::Value initialize_result() {
  json::Value tools_capability = json::Value::object();
  json::Value capabilities = json::Value::object();
  capabilities.insert("tools", std::move(tools_capability));
  json::Value server_info = json::Value::object();
  server_info.insert("name", kServerName);
  server_info.insert("version", kServerVersion);
  json::Value result = json::Value::object();
  result.insert("protocolVersion", kProtocolVersion);
  result.insert("capabilities", std::move(capabilities));
  result.insert("serverInfo", std::move(server_info));
  return result;
}

json::Value tools_list_result() {
  json::Value tools = json::Value::array();
  for (const Tool& tool : tool_table()) {
    json::Value descriptor = json::Value::object();
    descriptor.insert("name", tool.name);
    descriptor.insert("description", tool.description);
    descriptor.insert("inputSchema", input_schema(tool));
    tools.push_back(std::move(descriptor));
  }
  json::Value result = json::Value::object();
  result.insert("tools", std::move(tools));
  return result;
}

}  // namespace vestigor_mcp
