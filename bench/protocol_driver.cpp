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
// Diagnostics are dropped so only the protocol path is timed.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "bench_support.hpp"

namespace {

using vestigor_bench::BenchServer;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::minutes kStall{5};

// Writes `input` while reading stdout until `lines` lines arrived, each
// within kStall. Returns the seconds that took.
double exchange(BenchServer& s, std::string_view input, std::size_t lines) {
  const auto start = Clock::now();
  s.send(input, kStall);
  for (std::size_t seen = 0; seen < lines; ++seen) {
    if (!s.read_line(kStall)) {
      std::fprintf(stderr, "server stalled or ended\n");
      std::exit(1);
    }
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void finish(BenchServer& s) {
  s.close_input();
  s.wait_exit(std::chrono::seconds(30));
}

void ping(std::size_t n) {
  std::string input;
  for (std::size_t i = 0; i < n; ++i) {
    input += "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(i) +
             ",\"method\":\"ping\"}\n";
  }
  BenchServer s(VESTIGOR_BINARY);
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
      "\"Line of a note with \\\"quotes\\\", a tab\\t, café and "
      "\\u00e9 escapes plus some plain ASCII text to scan through.\",";
  while (line.size() < megabytes * 1000 * 1000) {
    line += item;
  }
  line += "\"end\"]}}\n";
  BenchServer s(VESTIGOR_BINARY);
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
    BenchServer s(VESTIGOR_BINARY);
    exchange(s, init, 1);
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
