#include "protocol/catalog.hpp"

#include <array>

namespace vestigor_mcp {

namespace {

struct ToolSpec {
  std::string_view name;
  std::string_view description;
  std::string_view argument;              // empty: the tool takes none
  std::string_view argument_description;
};

constexpr std::array<ToolSpec, 4> kTools = {{
    {kGetCurrentState,
     "Return the vault's current-state.md - the 'answer before the "
     "question' snapshot of what is true and active right now.",
     "", ""},
    {kListOpenThreads,
     "Return the open threads / loops currently in flight "
     "(open-threads.md).",
     "", ""},
    {kSearch,
     "Case-insensitive substring search across all markdown notes in the "
     "vault. Returns matching file paths with the first matching line.",
     "query", "Text to search for"},
    {kAppendDailyLog,
     "Append a timestamped entry to today's daily log "
     "(daily/YYYY-MM-DD.md). Use this to record what happened so it can be "
     "consolidated later.",
     "text", "The entry to append"},
}};

json::Value input_schema(const ToolSpec& tool) {
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
  for (const ToolSpec& tool : kTools) {
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
