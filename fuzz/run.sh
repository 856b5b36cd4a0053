#!/bin/sh
# Builds the libFuzzer targets and runs them at once, each for a bounded
# time.
#   fuzz/run.sh [seconds-per-target]      (default 60)
# Environment: FUZZ_BUILD_DIR (default build/fuzz), FUZZ_JOBS (build -j,
# default 2). New inputs the fuzzer finds go to $FUZZ_BUILD_DIR/corpus/;
# the seed corpus in fuzz/corpus/ is only read. A crash, sanitizer report,
# leak or timeout makes the script exit non-zero, with the reproducer kept
# as $FUZZ_BUILD_DIR/artifacts/<target>/crash-* (or leak-*, timeout-*).
set -eu

seconds=${1:-60}
case $seconds in
  ''|*[!0-9]*) echo "usage: $0 [seconds-per-target]" >&2; exit 2 ;;
esac

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}
jobs=${FUZZ_JOBS:-2}

# clang-16 with libc++: clang cannot use libstdc++ 12's std::expected.
packages="clang-16 libc++-16-dev libc++abi-16-dev libclang-rt-16-dev cmake ninja-build libicu-dev liburing-dev"
missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
    missing="$missing $p"
  fi
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" = 0 ]; then
    echo "fuzz: installing$missing" >&2
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
  else
    echo "fuzz: missing packages:$missing (install them as root, e.g. apt-get install$missing)" >&2
    exit 2
  fi
fi

cd "$root"
cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" -j "$jobs" --target json_fuzz request_fuzz line_finder_fuzz

# -max_len: request lines are short in practice, but nesting, long strings
# and several lines per input need some room; 4 KiB keeps runs fast.
# -timeout: one input taking longer than this is a hang.
# The targets run at once, each for the time given (they share the cores:
# CI's time is what the bound is for); each one's report follows in turn.
# The line finder's inputs are a query and a text: no JSON dictionary, and
# short texts reach every path (a scan step is at most 64 bytes).
targets="json_fuzz request_fuzz line_finder_fuzz"
pids=""
for target in $targets; do
  corpus=$build/corpus/$target
  artifacts=$build/artifacts/$target
  mkdir -p "$corpus" "$artifacts"
  options="-dict=$here/json.dict -max_len=4096"
  if [ "$target" = line_finder_fuzz ]; then
    options="-max_len=512"
  fi
  echo "fuzz: $target for ${seconds}s" >&2
  # shellcheck disable=SC2086
  "$build/fuzz/$target" "$corpus" "$here/corpus/$target" \
    $options -timeout=10 -rss_limit_mb=2048 \
    -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$artifacts/" 2>"$build/$target.log" &
  pids="$pids $!"
done
status=0
set -- $pids
for target in $targets; do
  artifacts=$build/artifacts/$target
  if ! wait "$1"; then
    status=1
    tail -n 60 "$build/$target.log" >&2
    echo "fuzz: $target FAILED; reproducer in $artifacts/, log $build/$target.log" >&2
  else
    grep -E '^(stat::number_of_executed_units|stat::new_units_added)' "$build/$target.log" \
      | sed "s/^/fuzz: $target /" >&2
  fi
  shift
done
exit $status
