// bench_support.hpp: what the benchmark programs share: a generator whose
// output is fixed by its seed, and the server started as the tests start
// it. Header-only: every bench/*.cpp is its own program.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <utility>

#include "support/live_server.hpp"

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

// The server `binary`, started on pipes (support/live_server.hpp) with
// the variables in `env` set and its diagnostics dropped (it parks
// /dev/null on a closed stderr). Ends the program when it cannot start.
class BenchServer : public vestigor_mcp::testing::LiveServer {
 public:
  explicit BenchServer(
      const std::string& binary,
      std::initializer_list<std::pair<const char*, std::string>> env = {})
      : LiveServer(options(binary, env)) {
    if (!started()) {
      std::fprintf(stderr, "cannot start %s: %s\n", binary.c_str(),
                   start_error().c_str());
      std::exit(1);
    }
  }

 private:
  static vestigor_mcp::testing::RunOptions options(
      const std::string& binary,
      std::initializer_list<std::pair<const char*, std::string>> env) {
    vestigor_mcp::testing::RunOptions o;
    o.binary = binary;
    o.close_stderr = true;
    for (const auto& [name, value] : env) {
      o.env.emplace_back(name, value);
    }
    return o;
  }
};

}  // namespace vestigor_bench
