#include "support/live_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace vestigor_mcp::testing {

namespace {

using Clock = std::chrono::steady_clock;

int millis_until(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - Clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

void close_fd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

}  // namespace

LiveServer::LiveServer(const RunOptions& options) {
  int in_pipe[2] = {-1, -1};
  int out_pipe[2];
  int err_pipe[2];
  if ((!options.stdin_fd && ::pipe2(in_pipe, O_CLOEXEC) != 0) ||
      ::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    return;
  }
  std::vector<std::string> env = child_environment(options);
  std::vector<char*> envp;
  for (std::string& e : env) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);
  const std::string& binary = server_binary(options);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(options.stdin_fd ? *options.stdin_fd : in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    exec_server(options, binary, envp.data());
  }
  if (!options.stdin_fd) {
    ::close(in_pipe[0]);
    in_fd_ = in_pipe[1];
    ::fcntl(in_fd_, F_SETFL, O_NONBLOCK);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
}

LiveServer::~LiveServer() {
  close_fd(in_fd_);
  close_fd(out_fd_);
  close_fd(err_fd_);
  if (pid_ > 0 && !exit_code_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

void LiveServer::service(int timeout_ms) {
  pollfd fds[3] = {{pending_in_.empty() ? -1 : in_fd_, POLLOUT, 0},
                   {out_fd_, POLLIN, 0},
                   {err_fd_, POLLIN, 0}};
  if (::poll(fds, 3, timeout_ms) <= 0) {
    return;
  }
  if (fds[0].revents != 0) {
    const ssize_t n = ::write(in_fd_, pending_in_.data(), pending_in_.size());
    if (n > 0) {
      pending_in_.erase(0, static_cast<std::size_t>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      pending_in_.clear();  // the server is gone
    }
  }
  char buf[65536];
  for (int i = 1; i < 3; ++i) {
    int& fd = i == 1 ? out_fd_ : err_fd_;
    if (fd >= 0 && fds[i].revents != 0) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) {
        (i == 1 ? out_ : err_).append(buf, static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        close_fd(fd);
      }
    }
  }
  if (close_in_when_sent_ && pending_in_.empty()) {
    close_fd(in_fd_);
  }
}

template <typename Done>
bool LiveServer::pump(Clock::time_point deadline, Done done) {
  for (;;) {
    if (done()) {
      return true;
    }
    const int left = millis_until(deadline);
    if (left == 0 || (in_fd_ < 0 && out_fd_ < 0 && err_fd_ < 0)) {
      return false;
    }
    service(left);
  }
}

bool LiveServer::send(std::string_view bytes, std::chrono::milliseconds limit) {
  if (in_fd_ < 0 || close_in_when_sent_) {
    return false;
  }
  pending_in_.append(bytes);
  return pump(Clock::now() + limit, [&] { return pending_in_.empty(); });
}

void LiveServer::close_input() {
  close_in_when_sent_ = true;
  if (pending_in_.empty()) {
    close_fd(in_fd_);
  }
}

std::optional<std::string> LiveServer::read_line(
    std::chrono::milliseconds limit) {
  std::size_t nl = std::string::npos;
  const bool found = pump(Clock::now() + limit, [&] {
    nl = out_.find('\n');
    return nl != std::string::npos;
  });
  if (!found) {
    return std::nullopt;
  }
  std::string line = out_.substr(0, nl);
  out_.erase(0, nl + 1);
  return line;
}

bool LiveServer::wait_for_stderr(std::string_view text,
                                 std::chrono::milliseconds limit) {
  return pump(Clock::now() + limit,
              [&] { return err_.find(text) != std::string::npos; });
}

std::optional<int> LiveServer::wait_exit(std::chrono::milliseconds limit) {
  if (exit_code_ || pid_ <= 0) {
    return exit_code_;
  }
  const auto deadline = Clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      break;
    }
    if (millis_until(deadline) == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      exit_code_ = -SIGKILL;
      return std::nullopt;
    }
    // Keep draining the pipes, so a server with much left to say can
    // finish; sleep briefly once they have ended.
    if (out_fd_ >= 0 || err_fd_ >= 0 || !pending_in_.empty()) {
      service(std::min(millis_until(deadline), 10));
    } else {
      ::usleep(1000);
    }
  }
  exit_code_ = WIFEXITED(status)     ? WEXITSTATUS(status)
               : WIFSIGNALED(status) ? -WTERMSIG(status)
                                     : -1;
  return exit_code_;
}

}  // namespace vestigor_mcp::testing
