#include "support/server_process.hpp"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "protocol/json.hpp"

extern char** environ;

namespace vestigor_mcp::testing {

bool refuse_io_uring() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(filter)),
                           filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

std::vector<std::string> child_environment(const RunOptions& options) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string_view entry(*e);
    if (entry.starts_with("VESTIGOR_VAULT=")) {
      continue;
    }
    bool overridden = false;
    for (const auto& [name, value] : options.env) {
      if (entry.starts_with(name + "=")) {
        overridden = true;
      }
    }
    if (!overridden) {
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

namespace {

// A copy of the binary in a fresh folder of mode 0755, removed at exit.
class ReachableCopy {
 public:
  ReachableCopy() {
    std::error_code error;
    char pattern[] = "/tmp/vestigor-bin-XXXXXX";
    if (::mkdtemp(pattern) == nullptr || ::chmod(pattern, 0755) != 0) {
      return;
    }
    folder_ = pattern;
    const std::string copy = folder_ + "/vestigor-mcp";
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

}  // namespace

const std::string& server_binary(const RunOptions& options) {
  static const std::string own = VESTIGOR_BINARY;
  if (!options.run_as) {
    return own;
  }
  static const ReachableCopy copy;
  if (copy.path().empty()) {
    ADD_FAILURE() << "cannot copy the server where another user reaches it";
    return own;
  }
  return copy.path();
}

void exec_server(const RunOptions& options, const std::string& binary,
                 char* const envp[]) {
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
  for (const std::string& word : options.wrapper) {
    argv.push_back(const_cast<char*>(word.c_str()));
  }
  argv.push_back(const_cast<char*>(binary.c_str()));
  argv.push_back(nullptr);
  ::execve(argv.front(), argv.data(), envp);
  ::_exit(127);
}

RunResult run_server(std::string_view input, const RunOptions& options) {
  RunResult result;
  int in_pipe[2] = {-1, -1};
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  const auto close_pipes = [&] {
    for (const int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1],
                         err_pipe[0], err_pipe[1]}) {
      if (fd >= 0) {
        ::close(fd);
      }
    }
  };
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0 ||
      ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "cannot start the server: pipe: " << std::strerror(errno);
    close_pipes();
    return result;
  }
  std::vector<std::string> env = child_environment(options);
  std::vector<char*> envp;
  for (std::string& e : env) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);
  const std::string& binary = server_binary(options);
  // A server that ends before taking all its input must fail the test,
  // not kill it.
  ::signal(SIGPIPE, SIG_IGN);

  const pid_t pid = ::fork();
  if (pid < 0) {
    // No child to wait for: waitpid(-1, ...) would reap whichever other
    // child of this process ended first.
    ADD_FAILURE() << "cannot start the server: fork: " << std::strerror(errno);
    close_pipes();
    return result;
  }
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
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  int in_fd = in_pipe[1];
  int out_fd = out_pipe[0];
  int err_fd = err_pipe[0];
  if (options.stdin_fd) {
    ::close(in_fd);
    in_fd = -1;
  }
  if (options.close_stdout) {
    ::close(out_fd);
    out_fd = -1;
  }
  if (in_fd >= 0) {
    ::fcntl(in_fd, F_SETFL, O_NONBLOCK);
  }
  std::size_t written = 0;
  if (in_fd >= 0 && input.empty()) {
    ::close(in_fd);
    in_fd = -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  char buf[65536];
  while (in_fd >= 0 || out_fd >= 0 || err_fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
      break;
    }
    pollfd fds[3] = {
        {in_fd, POLLOUT, 0}, {out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    const int ready = ::poll(fds, 3, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) {
      break;
    }
    if (in_fd >= 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t n =
          ::write(in_fd, input.data() + written, input.size() - written);
      if (n > 0) {
        written += static_cast<std::size_t>(n);
      }
      if ((n < 0 && errno != EAGAIN && errno != EINTR) ||
          written == input.size()) {
        ::close(in_fd);
        in_fd = -1;
      }
    }
    for (int i = 1; i < 3; ++i) {
      int& fd = i == 1 ? out_fd : err_fd;
      std::string& sink = i == 1 ? result.out : result.err;
      if (fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
          sink.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
          ::close(fd);
          fd = -1;
        }
      }
    }
  }
  for (int fd : {in_fd, out_fd, err_fd}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.exit_code = -WTERMSIG(status);
  }
  return result;
}

}  // namespace vestigor_mcp::testing
