#include "protocol/request.hpp"

#include "protocol/dispatch.hpp"
#include "protocol/json.hpp"
#include "protocol/unicode.hpp"

namespace vestigor_mcp {

std::optional<std::string> handle_line(std::string_view line,
                                       DiagnosticSink diagnose) {
  if (trim_white_space(line).empty()) {
    return std::nullopt;
  }
  auto request = json::parse(line);
  if (!request) {
    diagnose("invalid json: " + request.error());
    return std::nullopt;
  }
  std::string_view method;
  if (const json::Value* m = request->find("method")) {
    if (const std::string* s = m->as_string()) {
      method = *s;
    }
  }
  diagnose("-> " + std::string(method));
  DispatchResult result = dispatch(method, *request);

  const json::Value* id = request->find("id");
  if (id == nullptr) {
    return std::nullopt;
  }
  // Members in wire order; written directly instead of building an object
  // around a copy of the result.
  std::string out;
  if (result) {
    out += "{\"id\":";
    json::write(*id, out);
    out += ",\"jsonrpc\":\"2.0\",\"result\":";
    json::write(*result, out);
    out += '}';
  } else {
    json::Value error = json::Value::object();
    error.insert("code", result.error().code);
    error.insert("message", std::move(result.error().message));
    out += "{\"error\":";
    json::write(error, out);
    out += ",\"id\":";
    json::write(*id, out);
    out += ",\"jsonrpc\":\"2.0\"}";
  }
  return out;
}

}  // namespace vestigor_mcp
