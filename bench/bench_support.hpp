// bench_support.hpp: what the benchmark programs share: a generator whose
// output is fixed by its seed, and a server started on pipes. Header-only:
// every bench/*.cpp is its own program.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <utility>

namespace vestigor_bench {

// splitmix64: a small generator whose output is fixed by its seed alone.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) {
    return static_cast<std::size_t>(next() % n);
  }
  bool chance(std::size_t one_in) { return below(one_in) == 0; }

 private:
  std::uint64_t state_;
};

// A running server: its pid, the pipe to its stdin and the one from its
// stdout.
struct Server {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
};

// Starts `binary` with stdin and stdout on pipes and stderr on /dev/null,
// with the variables in `env` set. Ends the program when it cannot.
inline Server spawn_server(
    const std::string& binary,
    std::initializer_list<std::pair<const char*, std::string>> env = {}) {
  int in_pipe[2];
  int out_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0) {
    std::perror("pipe");
    std::exit(1);
  }
  Server s;
  s.pid = ::fork();
  if (s.pid < 0) {
    std::perror("fork");  // nobody must ever wait for pid -1
    std::exit(1);
  }
  if (s.pid == 0) {
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(null, 2);
    for (const auto& [name, value] : env) {
      ::setenv(name, value.c_str(), 1);
    }
    ::execl(binary.c_str(), binary.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  s.in = in_pipe[1];
  s.out = out_pipe[0];
  return s;
}

}  // namespace vestigor_bench
