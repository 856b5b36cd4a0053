#include "support/server_process.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstddef>

#include "protocol/json.hpp"
#include "support/live_server.hpp"

namespace vestigor_mcp::testing {

std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      break;
    }
    lines.emplace_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

RunOptions in_vault(const std::string& vault) {
  RunOptions o;
  o.env = {{"VESTIGOR_VAULT", vault}, {"TZ", "UTC"}};
  return o;
}

std::vector<std::string> RunResult::out_lines() const {
  return split_lines(out);
}
std::vector<std::string> RunResult::err_lines() const {
  return split_lines(err);
}

std::string ping_line(std::string_view id_json) {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + std::string(id_json) +
         ",\"method\":\"ping\"}";
}

std::string tool_call_line(int id, std::string_view tool,
                           std::string_view arguments_json) {
  std::string line = "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) +
                     ",\"method\":\"tools/call\",\"params\":{\"name\":";
  json::write_string(tool, line);
  line += ",\"arguments\":";
  line += arguments_json;
  line += "}}";
  return line;
}

std::string tool_call_input(int id, std::string_view tool,
                            std::string_view arguments_json) {
  return tool_call_line(id, tool, arguments_json) + "\n";
}

std::string append_call_input(int id, std::string_view text) {
  return tool_call_input(id, "append_daily_log",
                         string_arguments("text", text));
}

std::string snapshot_calls_input() {
  return tool_call_input(1, "get_current_state", "{}") +
         tool_call_input(2, "list_open_threads", "{}");
}

std::string string_arguments(std::string_view key, std::string_view value) {
  std::string arguments = "{";
  json::write_string(key, arguments);
  arguments += ':';
  json::write_string(value, arguments);
  return arguments + "}";
}

std::string result_line(std::string_view id_json,
                        std::string_view result_json) {
  return "{\"id\":" + std::string(id_json) +
         ",\"jsonrpc\":\"2.0\",\"result\":" + std::string(result_json) + "}";
}

std::string ping_result_line(std::string_view id_json) {
  return result_line(id_json, "{}");
}

std::string method_not_found_line(std::string_view id_json,
                                  std::string_view message_json) {
  return "{\"error\":{\"code\":-32601,\"message\":" +
         std::string(message_json) + "},\"id\":" + std::string(id_json) +
         ",\"jsonrpc\":\"2.0\"}";
}

std::string tool_result_line(int id, std::string_view text, bool is_error) {
  std::string result = "{\"content\":[{\"text\":";
  json::write_string(text, result);
  result += ",\"type\":\"text\"}],\"isError\":";
  result += is_error ? "true}" : "false}";
  return result_line(std::to_string(id), result);
}

std::string tool_error_line(int id, std::string_view message) {
  return tool_result_line(id, "Error: " + std::string(message), true);
}

RunResult run_server(std::string_view input, const RunOptions& options) {
  RunResult result;
  LiveServer server(options);
  if (!server.started()) {
    ADD_FAILURE() << "cannot start the server: " << server.start_error();
    return result;
  }
  using std::chrono::steady_clock;
  const auto deadline = steady_clock::now() + options.timeout;
  server.send(input, options.timeout);
  server.close_input();
  const std::optional<int> code =
      server.wait_exit(std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - steady_clock::now()));
  result.timed_out = !code;
  result.exit_code = code.value_or(-SIGKILL);
  result.out = server.take_out();
  result.err = server.err();
  return result;
}

}  // namespace vestigor_mcp::testing
