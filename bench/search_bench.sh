#!/bin/sh
# search_bench.sh: times the search tool against ripgrep on a generated vault.
#
#   bench/search_bench.sh [VAULT]
#
# Builds the release preset (into $BUILD, default build/search-rel), writes
# the benchmark vault with gen_vault unless VAULT (default
# /tmp/vestigor-bench-vault) exists, reads it once so that every run finds
# it in the page cache, checks that the server and ripgrep report the same
# notes and lines for the rare word, then reports, in one run:
#   - hyperfine medians for one server process answering one search for the
#     rare word (a full scan) and for a common word (stops at 50 notes),
#     for ripgrep on one thread doing the same full scan, and for a server
#     process answering a ping (its start-up cost);
#   - the ratio of the full scan to ripgrep's time;
#   - peak RSS of both searches (/usr/bin/time -v) against 10 MiB plus the
#     largest note;
#   - the search's phases timed inside one process (search_phases).
# Needs hyperfine, ripgrep, python3 and /usr/bin/time (package "time").
set -eu

cd "$(dirname "$0")/.."
BUILD=${BUILD:-build/search-rel}
VAULT=${1:-/tmp/vestigor-bench-vault}
RUNS=${RUNS:-30}
RARE=quasarwick
COMMON=project

cmake --preset release -B "$BUILD" >/dev/null
cmake --build "$BUILD" -j2 --target vestigor-mcp gen_vault search_phases >/dev/null
SERVER=$(pwd)/$BUILD/vestigor-mcp
if [ ! -d "$VAULT" ]; then
  "$BUILD/bench/gen_vault" "$VAULT"
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT INT TERM
request() {
  printf '{"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"search","arguments":{"query":"%s"}}}\n' "$1" >"$WORK/$2.json"
}
request "$RARE" rare
request "$COMMON" common
printf '{"jsonrpc":"2.0","id":1,"method":"ping"}\n' >"$WORK/ping.json"

find "$VAULT" -type f -exec cat {} + >/dev/null  # warm the page cache

RG="rg -j1 -i -F -m1 -n --sort path -g '*.md' -g '!.*'"

# The server and ripgrep must agree on what the full scan finds.
VESTIGOR_VAULT="$VAULT" "$SERVER" <"$WORK/rare.json" 2>/dev/null | python3 -c '
import json, sys
text = json.loads(sys.stdin.readline())["result"]["content"][0]["text"]
for line in text.split("\n")[2:]:
    path, number, _ = line.split(":", 2)
    print(path + ":" + number)
' >"$WORK/server-hits"
eval "$RG $RARE \"$VAULT\"" | sed "s|^$VAULT/||" | cut -d: -f1,2 >"$WORK/rg-hits"
if ! cmp -s "$WORK/server-hits" "$WORK/rg-hits"; then
  echo "server and ripgrep disagree on \"$RARE\":" >&2
  diff "$WORK/server-hits" "$WORK/rg-hits" >&2 || true
  exit 1
fi
echo "agreement: server and ripgrep both report $(wc -l <"$WORK/rg-hits") notes for \"$RARE\""

hyperfine --style basic --warmup 3 --runs "$RUNS" --export-json "$WORK/times.json" \
  -n server-full-scan "VESTIGOR_VAULT=$VAULT $SERVER < $WORK/rare.json" \
  -n ripgrep-j1 "$RG $RARE $VAULT" \
  -n server-common-word "VESTIGOR_VAULT=$VAULT $SERVER < $WORK/common.json" \
  -n server-ping "VESTIGOR_VAULT=$VAULT $SERVER < $WORK/ping.json" >/dev/null

python3 - "$WORK/times.json" <<'EOF'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
print("medians over %d runs (hyperfine, shell start-up subtracted):"
      % len(results["server-full-scan"]["times"]))
for name, r in results.items():
    print("  %-20s %8.1f ms  (min %.1f, max %.1f)"
          % (name, r["median"] * 1e3, r["min"] * 1e3, r["max"] * 1e3))
ratio = results["server-full-scan"]["median"] / results["ripgrep-j1"]["median"]
print("full scan / ripgrep -j1: %.2f (target <= 1.5)" % ratio)
common = results["server-common-word"]["median"] * 1e3
print("common word: %.1f ms (target < 10); minus a ping's start-up: %.1f ms"
      % (common, common - results["server-ping"]["median"] * 1e3))
EOF

LARGEST=$(find "$VAULT" -name '*.md' -not -path '*/.*' -printf '%s\n' | sort -n | tail -1)
LIMIT_KB=$((10 * 1024 + LARGEST / 1024))
for query in rare common; do
  RSS_KB=$(VESTIGOR_VAULT="$VAULT" /usr/bin/time -v "$SERVER" <"$WORK/$query.json" 2>&1 >/dev/null |
    sed -n 's/.*Maximum resident set size (kbytes): //p')
  echo "peak RSS, $query search: $RSS_KB KiB (limit 10 MiB + largest note $LARGEST B = $LIMIT_KB KiB)"
done

echo "in-process phases (median of runs):"
"$BUILD/bench/search_phases" "$VAULT" "$COMMON" 41 | sed 's/^/  /'
"$BUILD/bench/search_phases" "$VAULT" "$RARE" 9 | sed 's/^/  /'
