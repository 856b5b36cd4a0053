#include "support/live_server.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "support/refuse_io_uring.hpp"

extern char** environ;

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

// This process's environment with `options.env` applied; VESTIGOR_VAULT
// is dropped unless set there.
std::vector<std::string> child_environment(const RunOptions& options) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const bool replaced = std::ranges::any_of(options.env, [&](const auto& v) {
      return entry.starts_with(v.first + "=");
    });
    if (!replaced && !entry.starts_with("VESTIGOR_VAULT=")) {
      env.emplace_back(entry);
    }
  }
  for (const auto& [name, value] : options.env) {
    if (value) {
      env.push_back(name + "=" + *value);
    }
  }
  return env;
}

// A copy of the server under test in a fresh folder of mode 0755, removed
// at exit: the checkout may live in a folder that other users cannot
// enter (/root, a mktemp -d folder).
class ReachableCopy {
 public:
  ReachableCopy() {
    char pattern[] = "/tmp/vestigor-bin-XXXXXX";
    if (::mkdtemp(pattern) == nullptr || ::chmod(pattern, 0755) != 0) {
      return;
    }
    folder_ = pattern;
    const std::string copy = folder_ + "/vestigor-mcp";
    std::error_code error;
    if (std::filesystem::copy_file(VESTIGOR_BINARY, copy, error) &&
        ::chmod(copy.c_str(), 0755) == 0) {
      path_ = copy;
    }
  }
  ~ReachableCopy() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  ReachableCopy(const ReachableCopy&) = delete;
  ReachableCopy& operator=(const ReachableCopy&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string folder_;
  std::string path_;
};

// The binary to run, as `options.run_as` can reach it; empty when the copy
// for another user cannot be made.
std::string server_binary(const RunOptions& options) {
  if (!options.binary.empty()) {
    return options.binary;
  }
  if (!options.run_as) {
    return VESTIGOR_BINARY;
  }
  static const ReachableCopy copy;
  return copy.path();
}

// The child's part, after its standard streams are in place: working
// directory, user, limits, `before_exec`, the io_uring refusal, then exec
// of the wrapper or the binary.
[[noreturn]] void exec_server(const RunOptions& options,
                              const std::string& binary, char* const envp[]) {
  if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) {
    ::_exit(126);
  }
  if (options.run_as && ::getuid() == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(*options.run_as) != 0 ||
        ::setuid(*options.run_as) != 0) {
      ::_exit(125);
    }
  }
  if (options.address_space) {
    const rlimit limit{*options.address_space, *options.address_space};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) {
      ::_exit(124);
    }
  }
  if (options.before_exec != nullptr && !options.before_exec()) {
    ::_exit(124);
  }
  if (std::getenv("VESTIGOR_TEST_REFUSE_IO_URING") != nullptr &&
      !refuse_io_uring()) {
    ::_exit(123);
  }
  ::signal(SIGPIPE, SIG_DFL);
  std::vector<char*> argv;
  argv.reserve(options.wrapper.size() + options.args.size() + 3);
  for (const std::string& word : options.wrapper) {
    argv.push_back(const_cast<char*>(word.c_str()));
  }
#ifdef VESTIGOR_SERVER_EMULATOR
  // A server built for another CPU runs under its emulator (qemu-user).
  static const std::string emulator = VESTIGOR_SERVER_EMULATOR;
  if (options.binary.empty()) {
    argv.push_back(const_cast<char*>(emulator.c_str()));
  }
#endif
  argv.push_back(const_cast<char*>(binary.c_str()));
  for (const std::string& word : options.args) {
    argv.push_back(const_cast<char*>(word.c_str()));
  }
  argv.push_back(nullptr);
  ::execve(argv.front(), argv.data(), envp);
  ::_exit(127);
}

}  // namespace

LiveServer::LiveServer(const RunOptions& options) {
  const std::string binary = server_binary(options);
  if (binary.empty()) {
    start_error_ = "cannot copy the server where another user reaches it";
    return;
  }
  int in_pipe[2] = {-1, -1};
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  if ((!options.stdin_fd && ::pipe2(in_pipe, O_CLOEXEC) != 0) ||
      ::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    start_error_ = std::string("pipe: ") + std::strerror(errno);
  }
  std::vector<std::string> env = child_environment(options);
  std::vector<char*> envp;
  envp.reserve(env.size() + 1);
  for (std::string& e : env) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);
  // A server that ends before taking all its input must fail the test,
  // not kill it.
  ::signal(SIGPIPE, SIG_IGN);
  const pid_t pid = start_error_.empty() ? ::fork() : -1;
  if (pid == 0) {
    ::dup2(options.stdin_fd ? *options.stdin_fd : in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    if (options.close_stderr) {
      ::close(2);
    } else {
      ::dup2(err_pipe[1], 2);
    }
    exec_server(options, binary, envp.data());
  }
  close_fd(in_pipe[0]);
  close_fd(out_pipe[1]);
  close_fd(err_pipe[1]);
  in_fd_ = in_pipe[1];
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
  if (pid < 0) {  // the destructor closes the pipes; pid_ stays -1
    if (start_error_.empty()) {
      start_error_ = std::string("fork: ") + std::strerror(errno);
    }
    return;
  }
  pid_ = pid;
  if (in_fd_ >= 0) {
    ::fcntl(in_fd_, F_SETFL, O_NONBLOCK);
  }
  if (options.close_stdout) {
    close_fd(out_fd_);
  }
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

bool LiveServer::service(int timeout_ms) {
  pollfd fds[3] = {{pending_.empty() ? -1 : in_fd_, POLLOUT, 0},
                   {out_fd_, POLLIN, 0},
                   {err_fd_, POLLIN, 0}};
  if (::poll(fds, 3, timeout_ms) <= 0) {
    return false;
  }
  if (fds[0].revents != 0) {
    const ssize_t n = ::write(in_fd_, pending_.data(), pending_.size());
    if (n > 0) {
      pending_.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      pending_ = {};  // the server is gone
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
  if (close_in_when_sent_ && pending_.empty()) {
    close_fd(in_fd_);
  }
  return true;
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
  if (!pending_.empty()) {  // bytes left from an earlier send go first
    in_ = std::string(pending_).append(bytes);
    bytes = in_;
  }
  // Written straight from `bytes`: a large input is not copied unless some
  // of it is still unsent when the wait ends.
  pending_ = bytes;
  const bool sent =
      pump(Clock::now() + limit, [&] { return pending_.empty(); });
  in_ = std::string(pending_);
  pending_ = in_;
  return sent;
}

void LiveServer::close_input() {
  close_in_when_sent_ = true;
  if (pending_.empty()) {
    close_fd(in_fd_);
  }
}

std::optional<std::string> LiveServer::read_line(
    std::chrono::milliseconds limit) {
  std::size_t nl = std::string::npos;
  const bool found = pump(Clock::now() + limit, [&] {
    nl = out_.find('\n', out_taken_);
    return nl != std::string::npos;
  });
  if (!found) {
    return std::nullopt;
  }
  std::string line = out_.substr(out_taken_, nl - out_taken_);
  out_taken_ = nl + 1;
  if (out_taken_ * 2 > out_.size()) {  // keeps each byte's moves bounded
    out_.erase(0, out_taken_);
    out_taken_ = 0;
  }
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
  while (::waitpid(pid_, &status, WNOHANG) != pid_) {
    if (millis_until(deadline) == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      exit_code_ = -SIGKILL;
      return std::nullopt;
    }
    // Keep draining the pipes, so a server with much left to say can
    // finish; sleep briefly once they have ended.
    if (out_fd_ >= 0 || err_fd_ >= 0 || !pending_.empty()) {
      service(std::min(millis_until(deadline), 10));
    } else {
      ::usleep(1000);
    }
  }
  // What it wrote last may still wait in the pipes (a pipe holds little:
  // a second is plenty, even for a child that left them to a grandchild).
  const auto drained = Clock::now() + std::chrono::seconds(1);
  while ((out_fd_ >= 0 || err_fd_ >= 0) && service(0) &&
         Clock::now() < drained) {
  }
  exit_code_ = WIFEXITED(status)     ? WEXITSTATUS(status)
               : WIFSIGNALED(status) ? -WTERMSIG(status)
                                     : -1;
  return exit_code_;
}

std::string LiveServer::take_out() {
  std::string rest = out_.substr(out_taken_);
  out_.clear();
  out_taken_ = 0;
  return rest;
}

}  // namespace vestigor_mcp::testing
