#!/bin/sh
# protocol_bench.sh: the protocol path, measured from outside and inside.
#
#   bench/protocol_bench.sh
#
# Builds the release preset (into $BUILD, default build/release), then:
#   - protocol_driver ping: 1,000,000 ping requests streamed through pipes,
#     every answer read back (one write and flush per response);
#   - protocol_driver bigline: one 20 MB string-heavy request line;
#   - protocol_driver first: spawn to first initialize answer, 50 runs,
#     next to spawning /bin/true to its exit, the machine's process floor;
#   - json_bench: in-process parse and write speed (Google Benchmark).
set -eu

cd "$(dirname "$0")/.."
BUILD=${BUILD:-build/release}
cmake --preset release -B "$BUILD" >/dev/null
cmake --build "$BUILD" -j2 --target vestigor-mcp protocol_driver json_bench >/dev/null

"$BUILD/bench/protocol_driver" ping 1000000
"$BUILD/bench/protocol_driver" bigline 20
"$BUILD/bench/protocol_driver" first 50
"$BUILD/bench/json_bench" --benchmark_min_time=1
