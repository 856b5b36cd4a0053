// server_process.hpp: runs the built server binary with given stdin bytes
// and environment, collecting stdout, stderr and the exit status. Every
// run is bounded in time: a server still alive after the limit is killed
// and the test fails.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vestigor_mcp::testing {

struct RunOptions {
  // Variables to set (value) or remove (nullopt) in the child's copy of
  // this process's environment. VESTIGOR_VAULT is removed unless set here.
  std::vector<std::pair<std::string, std::optional<std::string>>> env;
  std::string cwd;                  // empty: inherit
  std::optional<unsigned> run_as;   // uid (and gid) to drop to, if root
  bool close_stdout = false;        // reader closes stdout at once
  bool close_stderr = false;        // child starts with fd 2 closed
  std::optional<int> stdin_fd;      // use this descriptor as stdin instead
  std::chrono::seconds timeout{60};
};

struct RunResult {
  std::string out;
  std::string err;
  int exit_code = -1;  // -N when killed by signal N
  bool timed_out = false;

  std::vector<std::string> out_lines() const;
  std::vector<std::string> err_lines() const;
};

RunResult run_server(std::string_view input, const RunOptions& options = {});

// Options that point VESTIGOR_VAULT at `vault` and fix TZ to UTC.
RunOptions in_vault(const std::string& vault);

// Splits on '\n'; a final line feed does not start an empty line.
std::vector<std::string> split_lines(std::string_view text);

// A tools/call request line (no line feed) with the given id and raw JSON
// arguments.
std::string tool_call_line(int id, std::string_view tool,
                           std::string_view arguments_json);

// The response line that a tool result with this text and flag gives.
std::string tool_result_line(int id, std::string_view text, bool is_error);

}  // namespace vestigor_mcp::testing
