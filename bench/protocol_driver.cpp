// protocol_driver: measures the server binary from the outside, through
// pipes, the way a host drives it.
//
//   protocol_driver ping [N]      N ping requests streamed in, all answers
//                                 read back; requests per second
//   protocol_driver bigline [MB]  one string-heavy request line of MB
//                                 megabytes; parse throughput in MB/s
//   protocol_driver first [RUNS]  time from spawn to the first response
//                                 of an initialize request; median
//
// Diagnostics go to /dev/null so only the protocol path is timed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bench_support.hpp"

namespace {

using vestigor_bench::Server;

// The server under test, with a stdin that never blocks the driver.
Server spawn() {
  Server s = vestigor_bench::spawn_server(VESTIGOR_BINARY);
  ::fcntl(s.in, F_SETFL, O_NONBLOCK);
  return s;
}

using Clock = std::chrono::steady_clock;

// Writes `input` (closing stdin afterwards) while reading stdout until
// `lines` line feeds arrived. Returns the seconds that took.
double exchange(Server& s, std::string_view input, std::size_t lines) {
  const auto start = Clock::now();
  std::size_t written = 0;
  std::size_t seen = 0;
  std::vector<char> buf(1 << 16);
  while (seen < lines) {
    pollfd fds[2] = {{s.in, POLLOUT, 0}, {s.out, POLLIN, 0}};
    // Once stdin is closed its entry holds -1, which poll skips.
    if (::poll(fds, 2, 10000) <= 0) {
      std::fprintf(stderr, "server stalled\n");
      std::exit(1);
    }
    if (s.in >= 0 && (fds[0].revents & (POLLOUT | POLLERR))) {
      const ssize_t n =
          ::write(s.in, input.data() + written, input.size() - written);
      if (n > 0) {
        written += static_cast<std::size_t>(n);
      }
      if (written == input.size()) {
        ::close(s.in);
        s.in = -1;
      }
    }
    if (fds[1].revents & (POLLIN | POLLHUP)) {
      const ssize_t n = ::read(s.out, buf.data(), buf.size());
      if (n <= 0) {
        break;
      }
      seen += static_cast<std::size_t>(
          std::count(buf.data(), buf.data() + n, '\n'));
    }
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void finish(Server& s) {
  if (s.in >= 0) {
    ::close(s.in);
  }
  ::close(s.out);
  int status = 0;
  ::waitpid(s.pid, &status, 0);
}

void ping(std::size_t n) {
  std::string input;
  for (std::size_t i = 0; i < n; ++i) {
    input += "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(i) +
             ",\"method\":\"ping\"}\n";
  }
  Server s = spawn();
  const double secs = exchange(s, input, n);
  finish(s);
  std::printf("ping: %zu requests in %.3f s = %.0f requests/s\n", n, secs,
              static_cast<double>(n) / secs);
}

void bigline(std::size_t megabytes) {
  // Many short strings with escapes and non-ASCII text, as a host's large
  // tool arguments look.
  std::string line =
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\",\"params\":{\"items\":"
      "[";
  const std::string item =
      "\"Line of a note with \\\"quotes\\\", a tab\\t, caf\xC3\xA9 and "
      "\\u00e9 escapes plus some plain ASCII text to scan through.\",";
  while (line.size() < megabytes * 1000 * 1000) {
    line += item;
  }
  line += "\"end\"]}}\n";
  Server s = spawn();
  const double secs = exchange(s, line, 1);
  finish(s);
  std::printf(
      "bigline: %.1f MB in %.3f s = %.0f MB/s (pipe transfer included)\n",
      static_cast<double>(line.size()) / 1e6, secs,
      static_cast<double>(line.size()) / 1e6 / secs);
}

void first(int runs) {
  const std::string init =
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"initialize\",\"params\":{}}"
      "\n";
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    Server s = spawn();
    (void)::write(s.in, init.data(), init.size());
    char c = 0;
    while (::read(s.out, &c, 1) == 1 && c != '\n') {
    }
    times.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - start)
            .count());
    finish(s);
  }
  std::sort(times.begin(), times.end());
  std::printf(
      "first response: median %.3f ms, min %.3f ms, max %.3f ms over %d runs\n",
      times[times.size() / 2], times.front(), times.back(), runs);
  // The floor: what starting any process costs on this machine.
  std::vector<double> floor;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::execl("/bin/true", "/bin/true", nullptr);
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    floor.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - start)
            .count());
  }
  std::sort(floor.begin(), floor.end());
  std::printf("process floor (/bin/true spawned and reaped): median %.3f ms\n",
              floor[floor.size() / 2]);
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  const std::string mode = argc > 1 ? argv[1] : "ping";
  const long arg = argc > 2 ? std::atol(argv[2]) : 0;
  if (mode == "ping") {
    ping(arg > 0 ? static_cast<std::size_t>(arg) : 1000000);
  } else if (mode == "bigline") {
    bigline(arg > 0 ? static_cast<std::size_t>(arg) : 20);
  } else if (mode == "first") {
    first(arg > 0 ? static_cast<int>(arg) : 50);
  } else {
    std::fprintf(stderr, "usage: protocol_driver ping|bigline|first [N]\n");
    return 2;
  }
  return 0;
}
