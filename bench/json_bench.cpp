// In-process parse and write speed of the wire encoding.
#include <benchmark/benchmark.h>

#include <string>

#include "protocol/json.hpp"
#include "protocol/request.hpp"

namespace {

std::string string_heavy_line(std::size_t bytes) {
  std::string line = "{\"id\":1,\"method\":\"ping\",\"params\":{\"items\":[";
  while (line.size() < bytes) {
    line +=
        "\"Line of a note with \\\"quotes\\\", a tab\\t, café and "
        "\\u00e9 escapes plus some plain ASCII text to scan through.\",";
  }
  line += "\"end\"]}}";
  return line;
}

void BM_ParseStringHeavy(benchmark::State& state) {
  const std::string line = string_heavy_line(std::size_t{20} * 1000 * 1000);
  for (auto _ : state) {
    auto v = vestigor_mcp::json::parse(line);
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(line.size()));
}
BENCHMARK(BM_ParseStringHeavy)->Unit(benchmark::kMillisecond);

void BM_HandlePingLine(benchmark::State& state) {
  const std::string line =
      "{\"jsonrpc\":\"2.0\",\"id\":12345,\"method\":\"ping\"}";
  for (auto _ : state) {
    auto out = vestigor_mcp::handle_line(line, [](std::string_view) {});
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_HandlePingLine);

void BM_WriteToolsList(benchmark::State& state) {
  auto v = vestigor_mcp::json::parse(
      "{\"a\":[1,2.5,-3,\"x\\n\",{\"b\":null}],\"c\":\"" +
      std::string(1000, 'y') + "\"}");
  for (auto _ : state) {
    std::string out = vestigor_mcp::json::write(*v);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_WriteToolsList);

}  // namespace
