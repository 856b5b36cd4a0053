#!/bin/sh
# search_bench.sh: the search tool against ripgrep and against its floor.
#
#   bench/search_bench.sh [VAULT]
#
# Builds the release preset (into $BUILD, default build/release), writes the
# benchmark vault with gen_vault unless VAULT (default
# /tmp/vestigor-bench-vault) exists, reads it once so that every run finds it
# in the page cache, then:
#   - search_race.py: checks that the server and
#     `rg -j1 -i -F -m1 -n --sort path -g '*.md' -g '!.*'` report the same
#     notes, line numbers and lines for every query; times whole processes,
#     interleaved run by run (/bin/true, the server answering one search, the
#     same scans by ripgrep, the floor program read_floor), prints the ratios
#     against the targets; times the common word call by call in one running
#     server; and reads the peak RSS of every search;
#   - search_phases: the search against the floor inside one process, where
#     no process start-up blurs the comparison.
# Queries: a rare ASCII word (a full scan), two non-ASCII words no note
# holds (full scans), and a common word (stops at 50 notes).
# Each full scan is also timed against `rg` on all threads, and with
# io_uring refused to the server (bench/no_io_uring, a seccomp filter).
# COLD=1 adds the same rounds with the page cache dropped before every run
# (root; COLD_RUNS, default 7, rounds).
# RUNS (default 30) sets the rounds; BEFORE=path/to/an/older/vestigor-mcp
# adds that binary to the same rounds, for a before-and-after comparison.
# Needs ripgrep, python3 and /usr/bin/time (package "time").
set -eu

cd "$(dirname "$0")/.."
BUILD=${BUILD:-build/release}
VAULT=${1:-/tmp/vestigor-bench-vault}
RUNS=${RUNS:-30}

cmake --preset release -B "$BUILD" >/dev/null
cmake --build "$BUILD" -j2 --target vestigor-mcp gen_vault search_phases \
  read_floor no_io_uring >/dev/null
if [ ! -d "$VAULT" ]; then
  "$BUILD/bench/gen_vault" "$VAULT"
fi
find "$VAULT" -type f -exec cat {} + >/dev/null  # warm the page cache

set -- "$VAULT" "$BUILD/vestigor-mcp" --runs "$RUNS" \
  --floor "$BUILD/bench/read_floor" --no-io-uring "$BUILD/bench/no_io_uring"
if [ -n "${BEFORE:-}" ]; then
  set -- "$@" --before "$BEFORE"
fi
python3 bench/search_race.py "$@"
if [ -n "${COLD:-}" ]; then
  echo
  RUNS=${COLD_RUNS:-7}
  python3 bench/search_race.py "$@" --cold --runs "$RUNS"
fi

echo
"$BUILD/bench/search_phases" "$VAULT" 21 quasarwick ωκεανός Straßenbahn project
