// search_worst_case: queries crafted to make substring matching work hard
// (periodic texts, queries that agree with the text for a long stretch and
// then differ), each timed through the line finder and through one search
// tool call over a vault holding the text as one note. Every one must
// answer within 50 ms, where a match quadratic in the query takes seconds.
//
//   search_worst_case [RUNS [CASE]]
//
// Prints, per case (or for the CASE-th alone, counted from 1), the least
// wall and CPU time of RUNS (default 3) for the finder and for the tool
// call, and "ok" or "SLOW". The target is judged on CPU time, which a busy
// machine disturbs less. Exits 1 when a case is slow or answers wrongly.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "search/line_finder.hpp"
#include "tools/search.hpp"

namespace {

constexpr double kTargetMs = 50;

struct Case {
  const char* name;
  std::string text;
  std::string query;
  bool matches;
};

std::string repeat(std::string_view unit, std::size_t times) {
  std::string out;
  out.reserve(unit.size() * times);
  for (std::size_t i = 0; i < times; ++i) {
    out += unit;
  }
  return out;
}

std::vector<Case> cases() {
  const std::string e = "\xC3\xA9";           // é
  const std::string kelvin = "\xE2\x84\xAA";  // the Kelvin sign
  const std::string sigma = "\xCE\xA3";       // capital sigma
  const std::string small_sigma = "\xCF\x83";
  std::vector<Case> out;
  out.push_back({"128 KiB of e-acute, 400 e-acute then x", repeat(e, 64 << 10),
                 repeat(e, 400) + "x", false});
  out.push_back({"4 MiB line of '-', 3999 '-' then x", repeat("-", 4 << 20),
                 repeat("-", 3999) + "x", false});
  out.push_back({"4 MiB of 'ab', (ab)x2000 then x", repeat("ab", 2 << 20),
                 repeat("ab", 2000) + "x", false});
  out.push_back({"1 MiB of Kelvin signs, 2000 k then x",
                 repeat(kelvin, (1 << 20) / 3), repeat("k", 2000) + "x",
                 false});
  out.push_back({"2 MiB of e-acute, 4000 e-acute then i", repeat(e, 1 << 20),
                 repeat(e, 4000) + "i", false});
  out.push_back({"1 MiB of capital sigma, 1000 small sigma then x",
                 repeat(sigma, 1 << 19), repeat(small_sigma, 1000) + "x",
                 false});
  out.push_back({"4 MiB in lines of 1000 '-', 999 '-' then x",
                 repeat(repeat("-", 1000) + "\n", 4 << 10),
                 repeat("-", 999) + "x", false});
  out.push_back({"4 MiB line of '-' ending in x, 3999 '-' then x",
                 repeat("-", 4 << 20) + "x", repeat("-", 3999) + "x", true});
  return out;
}

// Wall and CPU time, in milliseconds.
struct Clock {
  double wall;
  double cpu;
  static Clock now() {
    timespec cpu{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
    return {std::chrono::duration<double, std::milli>(
                std::chrono::steady_clock::now().time_since_epoch())
                .count(),
            static_cast<double>(cpu.tv_sec) * 1e3 +
                static_cast<double>(cpu.tv_nsec) / 1e6};
  }
};

struct Best {
  double wall = 1e300;
  double cpu = 1e300;
  void take(const Clock& start) {
    const Clock end = Clock::now();
    wall = std::min(wall, end.wall - start.wall);
    cpu = std::min(cpu, end.cpu - start.cpu);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const int only = argc > 2 ? std::atoi(argv[2]) : 0;
  const std::filesystem::path vault =
      std::filesystem::temp_directory_path() /
      ("vestigor-worst-case-" + std::to_string(::getpid()));
  ::setenv("VESTIGOR_VAULT", vault.c_str(), 1);
  bool all_ok = true;
  int index = 0;
  for (const Case& c : cases()) {
    if (++index != only && only != 0) {
      continue;
    }
    std::filesystem::remove_all(vault);
    std::filesystem::create_directories(vault);
    std::ofstream(vault / "note.md", std::ios::binary) << c.text;
    Best finder_time;
    Best tool_time;
    bool right = true;
    for (int run = 0; run < runs; ++run) {
      Clock start = Clock::now();
      auto finder = vestigor_mcp::LineFinder::make(c.query);
      const auto match = finder->first_match(c.text);
      finder_time.take(start);
      right = right && match && match->has_value() == c.matches;
      start = Clock::now();
      const auto outcome = vestigor_mcp::search(c.query);
      tool_time.take(start);
      right =
          right && outcome && outcome->starts_with("No matches") != c.matches;
    }
    const bool ok =
        right && finder_time.cpu < kTargetMs && tool_time.cpu < kTargetMs;
    all_ok = all_ok && ok;
    std::printf(
        "%d. %-48s finder %8.2f ms (cpu %8.2f)  tool %8.2f ms (cpu %8.2f)  "
        "%s%s\n",
        index, c.name, finder_time.wall, finder_time.cpu, tool_time.wall,
        tool_time.cpu, ok ? "ok" : "SLOW", right ? "" : " (wrong answer)");
    std::fflush(stdout);
  }
  std::filesystem::remove_all(vault);
  return all_ok ? 0 : 1;
}
