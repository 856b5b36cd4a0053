// server_process.hpp: runs the built server binary with given stdin bytes
// and environment, collecting stdout, stderr and the exit status, and
// builds the request and response lines the tests exchange with it. Every
// run is bounded in time: a server still alive after the limit is killed
// and the test fails. A run that cannot start fails the test.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vestigor_mcp::testing {

// Whether the server under test is the Windows server run under Wine
// (the windows-e2e preset).
#ifdef VESTIGOR_SERVER_UNDER_WINE
inline constexpr bool kServerUnderWine = true;
#else
inline constexpr bool kServerUnderWine = false;
#endif

// Skips the test when the server runs under Wine, where what it checks
// cannot hold; `reason` says why.
#define VESTIGOR_SKIP_UNDER_WINE(reason)             \
  do {                                               \
    if (::vestigor_mcp::testing::kServerUnderWine) { \
      GTEST_SKIP() << "under Wine: " << (reason);    \
    }                                                \
  } while (false)

// Whether the server under test runs under a CPU emulator (qemu-user, the
// arm64 cross build): system call tracers see the emulator, and qemu
// refuses io_uring_setup and preadv2.
#ifdef VESTIGOR_SERVER_UNDER_EMULATOR
inline constexpr bool kServerUnderEmulator = true;
#else
inline constexpr bool kServerUnderEmulator = false;
#endif

// Skips the test when the server runs under an emulator, where what it
// checks cannot hold; `reason` says why.
#define VESTIGOR_SKIP_UNDER_EMULATOR(reason)             \
  do {                                                   \
    if (::vestigor_mcp::testing::kServerUnderEmulator) { \
      GTEST_SKIP() << "under qemu-user: " << (reason);   \
    }                                                    \
  } while (false)

using Lines = std::vector<std::string>;

// The user root drops to (nobody), so that file modes apply to the server.
inline constexpr unsigned kUnprivilegedUid = 65534;

struct RunOptions {
  // Variables to set (value) or remove (nullopt) in the child's copy of
  // this process's environment. VESTIGOR_VAULT is removed unless set here.
  std::vector<std::pair<std::string, std::optional<std::string>>> env;
  std::string cwd;                 // empty: inherit
  std::optional<unsigned> run_as;  // uid (and gid) to drop to, if root
  bool close_stdout = false;       // reader closes stdout at once
  bool close_stderr = false;       // child starts with fd 2 closed
  std::optional<int> stdin_fd;     // use this descriptor as stdin instead
  std::optional<unsigned long> address_space;  // RLIMIT_AS, in bytes
  std::chrono::seconds timeout{60};
  // Runs in the child just before exec, as the server's user (resource
  // limits, namespaces); false ends the child with status 124.
  bool (*before_exec)() = nullptr;
  // A program and its arguments that run the server (strace ...).
  std::vector<std::string> wrapper;
  // Arguments given to the server itself (hosts give none).
  std::vector<std::string> args;
  // The program to run; empty: the server under test, or for `run_as` a
  // copy of it in a folder everyone may enter (the checkout may live in
  // one that others cannot, such as /root).
  std::string binary;
};

struct RunResult {
  std::string out;
  std::string err;
  int exit_code = -1;  // -N when killed by signal N
  bool timed_out = false;

  std::vector<std::string> out_lines() const;
  std::vector<std::string> err_lines() const;
};

// Runs the server (support/live_server.hpp) with `input` as its stdin
// until it ends. Every server started while VESTIGOR_TEST_REFUSE_IO_URING
// is set in this process's environment runs under refuse_io_uring()
// (support/refuse_io_uring.hpp), so that a suite can be run once with
// io_uring and once without.
RunResult run_server(std::string_view input, const RunOptions& options = {});

// Options that point VESTIGOR_VAULT at `vault` and fix TZ to UTC.
RunOptions in_vault(const std::string& vault);

// Splits on '\n'; a final line feed does not start an empty line.
std::vector<std::string> split_lines(std::string_view text);

// Request lines carry no line feed unless their name says "input".

// A ping request; `id_json` is the id as raw JSON.
std::string ping_line(std::string_view id_json = "1");

// A tools/call request line with the given id and raw JSON arguments.
std::string tool_call_line(int id, std::string_view tool,
                           std::string_view arguments_json);
// The same followed by its line feed, ready to be joined into an input.
std::string tool_call_input(int id, std::string_view tool,
                            std::string_view arguments_json);
// An append_daily_log call of `text` (escaped), with its line feed.
std::string append_call_input(int id, std::string_view text);
// get_current_state as id 1, then list_open_threads as id 2.
std::string snapshot_calls_input();

// {"<key>":"<value>"}: a tool's one string argument, escaped as JSON.
std::string string_arguments(std::string_view key, std::string_view value);

// The success response line for a request with this raw JSON id.
std::string result_line(std::string_view id_json, std::string_view result_json);
// The answer to ping_line(id_json).
std::string ping_result_line(std::string_view id_json = "1");
// The -32601 error line; `message_json` is the message as it is on the wire.
std::string method_not_found_line(std::string_view id_json,
                                  std::string_view message_json);
// The response line that a tool result with this text and flag gives.
std::string tool_result_line(int id, std::string_view text, bool is_error);
// The same for an error result "Error: <message>".
std::string tool_error_line(int id, std::string_view message);

}  // namespace vestigor_mcp::testing
