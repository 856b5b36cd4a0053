#include "protocol/request.hpp"

#include <unistd.h>

#include <cerrno>
#include <new>
#include <optional>

#include "protocol/dispatch.hpp"
#include "protocol/json.hpp"
#include "util/fd_io.hpp"
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

void report_out_of_memory(DiagnosticSink diagnose, std::string_view what) {
  try {
    diagnose(std::string(what) + os_error_text(ENOMEM));
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace

void diagnostic(std::string_view content) {
  std::string line = "[vestigor-mcp] ";
  line += content;
  line += '\n';
  (void)write_all(STDERR_FILENO, line);
}

std::optional<std::string> handle_line(std::string_view line,
                                       DiagnosticSink diagnose) {
  if (trim_white_space(line).empty()) {
    return std::nullopt;
  }
  std::optional<json::Value> request;
  try {
    auto parsed = json::parse(line);
    if (!parsed) {
      diagnose("invalid json: " + parsed.error());
      return std::nullopt;
    }
    request = std::move(*parsed);
  } catch (const std::bad_alloc&) {
    report_out_of_memory(diagnose, "line dropped: ");
    return std::nullopt;
  }
  bool dispatched = false;
  try {
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
    report_out_of_memory(diagnose,
                         dispatched ? "answer dropped: " : "line dropped: ");
    return std::nullopt;
  }
}

}  // namespace vestigor_mcp
