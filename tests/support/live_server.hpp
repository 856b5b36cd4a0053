// live_server.hpp: the one way tests and benchmarks start the server. A
// running server is talked to a request at a time or fed a whole input;
// input waiting to be sent, stdout and stderr are all serviced by every
// wait, so neither side can block the other on a full pipe. Every wait is
// bounded; a server still running when its LiveServer goes is killed.
// Needs no GoogleTest: the benchmarks use it too.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "support/server_process.hpp"

namespace vestigor_mcp::testing {

class LiveServer {
 public:
  // Starts the server as `options` say (all but the timeout, which is
  // run_server's). Check started(); start_error() says why not.
  explicit LiveServer(const RunOptions& options);
  ~LiveServer();
  LiveServer(const LiveServer&) = delete;
  LiveServer& operator=(const LiveServer&) = delete;

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }
  const std::string& start_error() const { return start_error_; }

  // Queues bytes for stdin and waits until they are out (or the server
  // stopped reading). False when stdin is a descriptor of the caller's or
  // closed, or when bytes are still queued after `limit`.
  bool send(std::string_view bytes,
            std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Closes stdin once all queued bytes are out (or at once if none).
  void close_input();

  // The next stdout line without its LF; nullopt when none came within
  // `limit` or stdout ended first.
  std::optional<std::string> read_line(std::chrono::milliseconds limit);
  // Waits until stderr has shown `text` somewhere; false after `limit`.
  bool wait_for_stderr(std::string_view text, std::chrono::milliseconds limit);

  // Exit status (-N when killed by signal N), once the process has ended
  // and what it wrote is collected; nullopt when it is still running after
  // `limit` (it is then killed).
  std::optional<int> wait_exit(std::chrono::milliseconds limit);

  // Stdout not yet taken by read_line, and all of stderr.
  std::string take_out();
  const std::string& err() const { return err_; }

 private:
  // Moves bytes between the pipes and the buffers until `done` holds or
  // `deadline` passes; returns whether `done` held.
  template <typename Done>
  bool pump(std::chrono::steady_clock::time_point deadline, Done done);
  // One poll of the pipes; whether any of them was ready.
  bool service(int timeout_ms);

  pid_t pid_ = -1;
  int in_fd_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  bool close_in_when_sent_ = false;
  std::string_view pending_;  // bytes still to go to stdin, in in_ or,
  std::string in_;            // during send, in the caller's buffer
  std::string out_;           // stdout; lines before out_taken_ were read
  std::size_t out_taken_ = 0;
  std::string err_;
  std::string start_error_;
  std::optional<int> exit_code_;
};

}  // namespace vestigor_mcp::testing
