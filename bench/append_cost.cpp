// append_cost: what one append_daily_log call costs, measured from the
// outside through pipes on a real file system.
//
//   append_cost [N] [DIR] [SERVER] [SIZE]
//
// Makes a fresh vault under DIR (default $TMPDIR, else /tmp), then sends N
// (default 2000) append requests to one server process, one at a time,
// each answer awaited before the next request goes out, as an agent does.
// Prints the median and mean microseconds per append and the slowest one.
// SERVER (default: the server built next to this program) lets an older
// build be measured the same way, e.g. one without the syncs. SIZE, when
// given, makes every entry's text that many bytes instead of a short line
// (entries that leave their page get a rollback record first).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.hpp"

namespace {

using vestigor_bench::BenchServer;
using Clock = std::chrono::steady_clock;

// Sends one request line and reads its one-line answer, within 30 s.
std::string exchange(BenchServer& s, const std::string& line) {
  const bool sent = s.send(line, std::chrono::seconds(30));
  const std::optional<std::string> answer =
      sent ? s.read_line(std::chrono::seconds(30)) : std::nullopt;
  if (!answer) {
    std::fprintf(stderr, "server stalled or ended\n");
    std::exit(1);
  }
  return *answer;
}

}  // namespace

int main(int argc, char** argv) {
  const long count = argc > 1 ? std::atol(argv[1]) : 2000;
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = argc > 2 ? argv[2] : (tmp ? tmp : "/tmp");
  const std::string binary = argc > 3 ? argv[3] : VESTIGOR_BINARY;
  const long size = argc > 4 ? std::atol(argv[4]) : 0;
  if (count <= 0 || size < 0) {
    std::fprintf(stderr, "usage: append_cost [N] [DIR] [SERVER] [SIZE]\n");
    return 2;
  }
  std::string vault = dir + "/vestigor-append-XXXXXX";
  if (::mkdtemp(vault.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  BenchServer s(binary, {{"VESTIGOR_VAULT", vault}, {"TZ", "UTC"}});
  // The first call makes daily/ and the note; it is timed apart.
  const std::string first_line =
      "{\"jsonrpc\":\"2.0\",\"id\":0,\"method\":\"tools/call\",\"params\":{"
      "\"name\":\"append_daily_log\",\"arguments\":{\"text\":\"first\"}}}\n";
  const auto first_start = Clock::now();
  const std::string first_answer = exchange(s, first_line);
  const double first_us =
      std::chrono::duration<double, std::micro>(Clock::now() - first_start)
          .count();
  if (first_answer.find("Appended to") == std::string::npos) {
    std::fprintf(stderr, "append failed: %s\n", first_answer.c_str());
    return 1;
  }
  std::string tail(" of the append cost run");
  if (size > 0) {
    tail.assign(static_cast<std::size_t>(size), 'x');
  }
  std::vector<double> times;
  for (long i = 1; i <= count; ++i) {
    const std::string line =
        "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(i) +
        ",\"method\":\"tools/call\",\"params\":{\"name\":\"append_daily_log\","
        "\"arguments\":{\"text\":\"entry " +
        std::to_string(i) + tail + "\"}}}\n";
    const auto start = Clock::now();
    const std::string answer = exchange(s, line);
    times.push_back(
        std::chrono::duration<double, std::micro>(Clock::now() - start)
            .count());
    if (answer.find("Appended to") == std::string::npos) {
      std::fprintf(stderr, "append failed: %s\n", answer.c_str());
      return 1;
    }
  }
  s.close_input();
  s.wait_exit(std::chrono::seconds(30));
  std::error_code ec;
  std::filesystem::remove_all(vault, ec);

  double total = 0;
  for (const double t : times) {
    total += t;
  }
  std::sort(times.begin(), times.end());
  std::printf(
      "append_cost: %ld appends%s under %s by %s\n"
      "  first (makes daily/ and the note): %.0f us\n"
      "  per append: median %.0f us, mean %.0f us, p99 %.0f us, max %.0f "
      "us\n",
      count, size > 0 ? (" of " + std::to_string(size) + " bytes").c_str() : "",
      dir.c_str(), binary.c_str(), first_us, times[times.size() / 2],
      total / static_cast<double>(times.size()), times[times.size() * 99 / 100],
      times.back());
  return 0;
}
