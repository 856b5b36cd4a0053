// live_server.hpp: a running server that a test talks to one request at a
// time, for tests that act between requests or watch the process while it
// runs (races, churn, terminals, resource use). Input waiting to be sent,
// stdout and stderr are all serviced by every wait, so neither side can
// block the other on a full pipe. Every wait is bounded; a server still
// running when its LiveServer goes is killed.
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
  // Starts the binary as exec_server does, with `options`' stdin_fd, when
  // set, as its standard input (otherwise a pipe). The close_* fields and
  // the timeout are not used.
  explicit LiveServer(const RunOptions& options);
  ~LiveServer();
  LiveServer(const LiveServer&) = delete;
  LiveServer& operator=(const LiveServer&) = delete;

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }

  // Queues bytes for stdin; they go out during this and later waits.
  // False when stdin is a descriptor of the caller's or already closed.
  bool send(std::string_view bytes,
            std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Closes stdin once all queued bytes are out (or at once if none).
  void close_input();

  // The next stdout line without its LF; nullopt when none came within
  // `limit` or stdout ended first.
  std::optional<std::string> read_line(std::chrono::milliseconds limit);
  // Waits until stderr has shown `text` somewhere; false after `limit`.
  bool wait_for_stderr(std::string_view text, std::chrono::milliseconds limit);

  // Exit status (-N when killed by signal N), once the process has ended;
  // nullopt when it is still running after `limit` (it is then killed).
  std::optional<int> wait_exit(std::chrono::milliseconds limit);

  const std::string& err() const { return err_; }

 private:
  // Moves bytes between the pipes and the buffers until `done` holds or
  // `deadline` passes; returns whether `done` held.
  template <typename Done>
  bool pump(std::chrono::steady_clock::time_point deadline, Done done);
  void service(int timeout_ms);

  pid_t pid_ = -1;
  int in_fd_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  bool close_in_when_sent_ = false;
  std::string pending_in_;
  std::string out_;
  std::string err_;
  std::optional<int> exit_code_;
};

}  // namespace vestigor_mcp::testing
