#include "protocol/request.hpp"

#include <new>
#include <optional>

#include "protocol/dispatch.hpp"
#include "protocol/json.hpp"
#include "util/unicode.hpp"

namespace vestigor_mcp {

namespace {

// The response to a request with this id. Members are written in wire
// order ("error" < "id" < "jsonrpc" < "result") straight into the text,
// without building an object around a copy of the result.
std::string envelope(const json::Value& id, const DispatchResult& result) {
  std::string out = "{";
  if (!result) {
    out += "\"error\":{\"code\":";
    out += std::to_string(result.error().code);
    out += ",\"message\":";
    json::write_string(result.error().message, out);
    out += "},";
  }
  out += "\"id\":";
  json::write(id, out);
  out += ",\"jsonrpc\":\"2.0\"";
  if (result) {
    out += ",\"result\":";
    json::write(*result, out);
  }
  out += '}';
  return out;
}

}  // namespace

std::optional<std::string> handle_line(std::string_view line,
                                       DiagnosticSink diagnose) {
  if (trim_white_space(line).empty()) {
    return std::nullopt;
  }
  bool dispatched = false;
  try {
    const auto request = json::parse(line);
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
    const DispatchResult result = dispatch(method, *request);
    dispatched = true;
    const json::Value* id = request->find("id");
    if (id == nullptr) {
      return std::nullopt;
    }
    std::string response = envelope(*id, result);
    response.reserve(response.size() + 1);
    return response;
  } catch (const std::bad_alloc&) {
    report_os_error(diagnose,
                    dispatched ? "answer dropped: " : "line dropped: ",
                    os::OsError::out_of_memory());
    return std::nullopt;
  }
}

}  // namespace vestigor_mcp
