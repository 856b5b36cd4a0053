// search_phases: the search against its floor, in one process, on a warm
// vault, so that no process start-up blurs the comparison.
//
//   search_phases VAULT RUNS QUERY...
//
// Each run times, one after the other: the walk alone (every note met,
// none read); the floor, which walks and reads every note with the
// search's own reader and does no matching; and one search tool call per
// QUERY. Prints the medians over RUNS, each query's ratio to the floor, and
// the first line of each answer. Checks that the walk meets the notes in
// path order.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "path_order.hpp"
#include "tools/search.hpp"
#include "tools/walk.hpp"
#include "util/buffer.hpp"
#include "util/fs.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using vestigor_mcp::WalkStep;

double median_ms(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start)
      .count();
}

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
  const auto done =
      vestigor_mcp::collect_md(vault, [&](const vestigor_mcp::NoteWalk& w) {
        ++out.notes;
        if (read) {
          if (const auto text =
                  vestigor_mcp::read_regular_file(w.folder(), w.name(), note)) {
            out.bytes += text->size();
          }
        } else {
          out.in_order = out.in_order &&
                         (previous.empty() || path_less(previous, w.path()));
          previous = w.path();
        }
        return WalkStep::kContinue;
      });
  if (!done) {
    std::fprintf(stderr, "walk failed: errno %d\n", done.error());
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

  std::vector<double> walk_times;
  std::vector<double> floor_times;
  std::vector<std::vector<double>> query_times(queries.size());
  std::vector<std::string> answers(queries.size());
  Walked listed;
  Walked read;
  for (int run = 0; run < runs; ++run) {
    Clock::time_point t = Clock::now();
    listed = walk(vault, false);
    walk_times.push_back(ms_since(t));
    t = Clock::now();
    read = walk(vault, true);
    floor_times.push_back(ms_since(t));
    for (std::size_t q = 0; q < queries.size(); ++q) {
      t = Clock::now();
      const vestigor_mcp::ToolOutcome outcome =
          vestigor_mcp::search(queries[q]);
      query_times[q].push_back(ms_since(t));
      answers[q] = outcome ? *outcome : "Error: " + outcome.error();
    }
  }
  if (!listed.in_order) {
    std::fprintf(stderr, "the walk did not meet the notes in path order\n");
    return 1;
  }
  const double floor = median_ms(floor_times);
  std::printf("medians of %d runs in one process:\n", runs);
  std::printf("  walk only: %zu notes, %.2f ms\n", listed.notes,
              median_ms(walk_times));
  std::printf(
      "  floor (walk, read every note, no matching): %zu bytes, "
      "%.2f ms\n",
      read.bytes, floor);
  for (std::size_t q = 0; q < queries.size(); ++q) {
    const double ms = median_ms(query_times[q]);
    std::printf("  search \"%s\": %.2f ms = %.3f x floor; answer: %s\n",
                queries[q].c_str(), ms, ms / floor,
                answers[q].substr(0, answers[q].find('\n')).c_str());
  }
  return 0;
}
