// search_phases: the search against its floor, in one process, on a warm
// vault, so that no process start-up blurs the comparison.
//
//   search_phases VAULT RUNS QUERY...
//
// Each run times, one after the other: the walk alone (every note met,
// none read); the floor, which walks and reads every note with the
// search's own reader and does no matching; and, per QUERY, one search
// tool call and the line finder alone over every note held in memory.
// Prints the medians over RUNS (wall time, and CPU time, which a busy
// machine disturbs less, with its least value), each query's ratio to the
// floor, and the first line of each answer. Checks that the walk meets the
// notes in path order. Last, the lowering alone: every line of the notes
// that holds a non-ASCII character, lowered by the server's tables and (in
// builds that found ICU) by ICU's ucasemap_utf8ToLower.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "search/line_finder.hpp"
#include "search/walk.hpp"
#include "support/path_order.hpp"
#include "tools/search.hpp"
#include "util/buffer.hpp"
#include "util/char_facts.hpp"
#include "util/fs.hpp"
#include "util/unicode.hpp"

#if VESTIGOR_BENCH_ICU
#include <unicode/ucasemap.h>
#endif

namespace {

using vestigor_mcp::testing::path_less;
using Clock = std::chrono::steady_clock;

double median_ms(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double least_ms(const std::vector<double>& v) {
  return *std::min_element(v.begin(), v.end());
}

double cpu_ms() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto ms = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1e3 +
           static_cast<double>(t.tv_usec) / 1e3;
  };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// Wall and CPU milliseconds of one phase.
struct Timer {
  Clock::time_point wall = Clock::now();
  double cpu = cpu_ms();
  void stop(std::vector<double>& walls, std::vector<double>& cpus) const {
    walls.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - wall).count());
    cpus.push_back(cpu_ms() - cpu);
  }
};

struct Phase {
  std::vector<double> wall;
  std::vector<double> cpu;
  void print(const char* what, const Phase* floor) const {
    std::printf("  %-28s wall %8.2f ms  cpu %8.2f ms (least %8.2f)", what,
                median_ms(wall), median_ms(cpu), least_ms(cpu));
    if (floor != nullptr) {
      std::printf("  = %.3f x floor (least %.3f)",
                  median_ms(cpu) / median_ms(floor->cpu),
                  least_ms(cpu) / least_ms(floor->cpu));
    }
    std::printf("\n");
  }
};

struct Walked {
  std::size_t notes = 0;
  std::size_t bytes = 0;
  bool in_order = true;
};

// Every note, read whole when `read` is set.
Walked walk(const std::string& vault, bool read) {
  Walked out;
  vestigor_mcp::Buffer note;
  std::string previous;
  vestigor_mcp::NoteWalk w(vault);
  vestigor_mcp::os::Result<bool> more;
  while ((more = w.next()) && *more) {
    ++out.notes;
    if (read) {
      if (const auto text =
              vestigor_mcp::read_regular_file(w.folder(), w.name(), note)) {
        out.bytes += text->size();
      }
    } else {
      out.in_order =
          out.in_order && (previous.empty() || path_less(previous, w.path()));
      previous = w.path();
    }
  }
  if (!more) {
    std::fprintf(stderr, "walk failed: error %d\n", more.error().code());
    std::exit(1);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: search_phases VAULT RUNS QUERY...\n");
    return 2;
  }
  const std::string vault = argv[1];
  const int runs = std::max(1, std::atoi(argv[2]));
  const std::vector<std::string> queries(argv + 3, argv + argc);
  ::setenv("VESTIGOR_VAULT", vault.c_str(), 1);

  // Every note in memory, for the line finder alone.
  std::vector<std::string> notes;
  vestigor_mcp::Buffer buffer;
  vestigor_mcp::NoteWalk all(vault);
  while (all.next().value_or(false)) {
    if (const auto text =
            vestigor_mcp::read_regular_file(all.folder(), all.name(), buffer)) {
      notes.emplace_back(*text);
    }
  }

  Phase walk_phase;
  Phase floor_phase;
  std::vector<Phase> search_phases(queries.size());
  std::vector<Phase> match_phases(queries.size());
  std::vector<std::string> answers(queries.size());
  std::vector<std::size_t> matched(queries.size());
  Walked listed;
  Walked read;
  for (int run = 0; run < runs; ++run) {
    Timer t;
    listed = walk(vault, false);
    t.stop(walk_phase.wall, walk_phase.cpu);
    t = Timer();
    read = walk(vault, true);
    t.stop(floor_phase.wall, floor_phase.cpu);
    for (std::size_t q = 0; q < queries.size(); ++q) {
      t = Timer();
      const vestigor_mcp::ToolOutcome outcome =
          vestigor_mcp::search(queries[q]);
      t.stop(search_phases[q].wall, search_phases[q].cpu);
      answers[q] = outcome ? *outcome : "Error: " + outcome.error();
      t = Timer();
      auto finder = vestigor_mcp::LineFinder::make(queries[q]);
      matched[q] = 0;
      for (const std::string& note : notes) {
        const auto m = finder->first_match(note);
        matched[q] += m && *m ? 1U : 0U;
      }
      t.stop(match_phases[q].wall, match_phases[q].cpu);
    }
  }
  // The lowering alone, over the lines that are not ASCII.
  std::vector<std::string_view> lines;
  std::size_t line_bytes = 0;
  for (const std::string& note : notes) {
    std::string_view rest = note;
    while (!rest.empty()) {
      const std::size_t end = std::min(rest.find('\n'), rest.size());
      if (!vestigor_mcp::is_ascii(rest.substr(0, end))) {
        lines.push_back(rest.substr(0, end));
        line_bytes += end;
      }
      rest.remove_prefix(std::min(end + 1, rest.size()));
    }
  }
  Phase ours_phase;
  Phase icu_phase;
  std::size_t lowered_bytes = 0;
  for (int run = 0; run < runs; ++run) {
    vestigor_mcp::Buffer out;
    Timer t;
    for (const std::string_view line : lines) {
      out.clear();
      lowered_bytes +=
          vestigor_mcp::append_lower_case(line, out) ? out.size() : 0;
    }
    t.stop(ours_phase.wall, ours_phase.cpu);
#if VESTIGOR_BENCH_ICU
    UErrorCode error = U_ZERO_ERROR;
    UCaseMap* map = ucasemap_open("", 0, &error);
    std::string icu_out;
    t = Timer();
    for (const std::string_view line : lines) {
      icu_out.resize(line.size() * 3);
      const int32_t n = ucasemap_utf8ToLower(
          map, icu_out.data(), static_cast<int32_t>(icu_out.size()),
          line.data(), static_cast<int32_t>(line.size()), &error);
      lowered_bytes += static_cast<std::size_t>(n);
    }
    t.stop(icu_phase.wall, icu_phase.cpu);
    ucasemap_close(map);
#endif
  }
  if (!listed.in_order) {
    std::fprintf(stderr, "the walk did not meet the notes in path order\n");
    return 1;
  }
  std::printf("medians of %d runs in one process (%zu notes, %zu bytes):\n",
              runs, read.notes, read.bytes);
  walk_phase.print("walk only", nullptr);
  floor_phase.print("floor: walk and read", nullptr);
  for (std::size_t q = 0; q < queries.size(); ++q) {
    std::printf("\"%s\": %s\n", queries[q].c_str(),
                answers[q].substr(0, answers[q].find('\n')).c_str());
    search_phases[q].print("search tool call", &floor_phase);
    match_phases[q].print("line finder, notes in memory", &floor_phase);
  }
  std::printf("lowering the %zu non-ASCII lines (%zu bytes; %zu lowered):\n",
              lines.size(), line_bytes, lowered_bytes);
  ours_phase.print("the server's tables", nullptr);
  if (!icu_phase.cpu.empty()) {
    icu_phase.print("ICU ucasemap_utf8ToLower", nullptr);
  }
  return 0;
}
