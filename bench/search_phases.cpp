// search_phases: times the search's phases in-process, without the cost of
// starting the server, on a warm vault.
//
//   search_phases VAULT QUERY [RUNS]
//
// Prints the median over RUNS (default 21) of: the walk (collect_md), the
// path-order check, and the whole search tool call; then the first line
// of the search's answer.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/search.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double median_ms(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: search_phases VAULT QUERY [RUNS]\n");
    return 2;
  }
  const std::string vault = argv[1];
  const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 21;
  ::setenv("VESTIGOR_VAULT", vault.c_str(), 1);
  const std::string query = argv[2];

  std::vector<double> walk;
  std::vector<double> order;
  std::vector<double> whole;
  std::size_t files = 0;
  std::string answer;
  for (int i = 0; i < runs; ++i) {
    std::vector<std::string> list;
    Clock::time_point t = Clock::now();
    vestigor_mcp::collect_md(vault, list);
    walk.push_back(ms_since(t));
    t = Clock::now();
    const bool sorted =
        std::is_sorted(list.begin(), list.end(), vestigor_mcp::path_less);
    order.push_back(ms_since(t));
    if (!sorted) {
      std::fprintf(stderr, "walk did not come out in path order\n");
      return 1;
    }
    files = list.size();
    t = Clock::now();
    const vestigor_mcp::ToolOutcome outcome = vestigor_mcp::search(query);
    whole.push_back(ms_since(t));
    answer = outcome ? *outcome : "Error: " + outcome.error();
  }
  std::printf("notes walked: %zu\nwalk: %.2f ms\norder check: %.2f ms\n"
              "search call: %.2f ms\nanswer: %s\n",
              files, median_ms(walk), median_ms(order), median_ms(whole),
              answer.substr(0, answer.find('\n')).c_str());
  return 0;
}
