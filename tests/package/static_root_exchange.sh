#!/usr/bin/env bash
# Runs the server binary in an otherwise empty root: the binary, /dev/null,
# a vault, and the zoneinfo files for UTC and Europe/Berlin, nothing else
# (no loader, no libc, no /etc). A fully static server must serve every
# tool there, and its daily log must keep each zone's local time: the same
# date and minute that the host's own `date` gives for that zone. A zone
# whose file is not in the root must fall back to UTC, which shows the
# server reads the root's zoneinfo rather than the host's.
#
# Entering the root takes chroot, so this runs as root; otherwise it is
# skipped (exit 77) with the reason printed.
#
#   static_root_exchange.sh <server> <expect static: ON|OFF> <version>
set -euo pipefail

server=$(realpath "$1")
expect_static=$2
version=$3

source "$(dirname "$0")/common.sh"

linkage=$(readelf -d -l "$server" | grep -E 'NEEDED|program interpreter' || true)
if [[ -n $linkage ]]; then
  [[ $expect_static != ON ]] || fail "the server should be fully static but has: $linkage"
  skip "this build's server is dynamically linked (only static release builds run without a root file system)"
fi
[[ $(id -u) -eq 0 ]] || skip "entering an empty root needs chroot, which needs root"
zoneinfo=/usr/share/zoneinfo
for zone in UTC Europe/Berlin; do
  [[ -e $zoneinfo/$zone ]] || skip "this machine has no $zoneinfo/$zone (Debian package tzdata)"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/vestigor-root.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root$zoneinfo/Europe"
cp "$server" "$root/vestigor-mcp"
cp -L "$zoneinfo/UTC" "$root$zoneinfo/UTC"
cp -L "$zoneinfo/Europe/Berlin" "$root$zoneinfo/Europe/Berlin"
chroot_command "$root"

requests=$(
  session_start root-test
  tool_call 2 get_current_state '{}'
  tool_call 3 list_open_threads '{}'
  tool_call 4 search '{"query":"i̇stanbul οδος"}'
  tool_call 5 append_daily_log '{"text":"  From an empty root "}'
)

expected_responses() {
  printf '%s\n' \
    '{"id":1,"jsonrpc":"2.0","result":{"capabilities":{"tools":{}},"protocolVersion":"2024-11-05","serverInfo":{"name":"vestigor-mcp","version":"'"$version"'"}}}' \
    '{"id":2,"jsonrpc":"2.0","result":{"content":[{"text":"# Now\nStatic.\n","type":"text"}],"isError":false}}' \
    '{"id":3,"jsonrpc":"2.0","result":{"content":[{"text":"- ship the tarball\n","type":"text"}],"isError":false}}' \
    '{"id":4,"jsonrpc":"2.0","result":{"content":[{"text":"1 file match(es) for \"i̇stanbul οδος\":\n\nnotes/trip.md:2: Two: İSTANBUL ΟΔΟΣ","type":"text"}],"isError":false}}' \
    '{"id":5,"jsonrpc":"2.0","result":{"content":[{"text":"Appended to daily/'"$1"'.md","type":"text"}],"isError":false}}'
}

# Runs the exchange in a fresh vault of the root with TZ=$1 and checks the
# answers and the daily note against the host's clock read for zone $2.
exchange() {
  local tz=$1 host_zone=$2
  local name=vault-${tz//\//-}
  local vault=$root/$name
  mkdir -p "$vault/notes" "$vault/agents/memory"
  printf '# Now\nStatic.\n' >"$vault/current-state.md"
  printf -- '- ship the tarball\n' >"$vault/agents/memory/open-threads.md"
  printf 'one\nTwo: İSTANBUL ΟΔΟΣ\n' >"$vault/notes/trip.md"

  local before after status=0
  before=$(TZ=$host_zone date '+%Y-%m-%d %H:%M')
  printf '%s\n' "$requests" |
    timeout 10 env -i TZ="$tz" VESTIGOR_VAULT="/$name" "${enter[@]}" \
      >"$work/stdout" 2>"$work/stderr" || status=$?
  after=$(TZ=$host_zone date '+%Y-%m-%d %H:%M')
  [[ $status -eq 0 ]] || { cat "$work/stderr" >&2; fail "TZ=$tz: the server exited with status $status"; }

  # The clock may pass a minute between the two readings; the server's
  # reading lies between them.
  local stamp
  for stamp in "$before" "$after"; do
    local day=${stamp% *} minute=${stamp#* }
    if cmp -s "$work/stdout" <(expected_responses "$day") &&
      [[ -f $vault/daily/$day.md ]] &&
      cmp -s "$vault/daily/$day.md" <(printf '# %s\n\n- %s From an empty root\n' "$day" "$minute"); then
      echo "TZ=$tz: daily/$day.md at $minute, as the host's clock for $host_zone says"
      return 0
    fi
  done
  diff <(expected_responses "${after% *}") "$work/stdout" >&2 || true
  find "$vault/daily" -type f -exec sh -c 'echo "== $1"; cat "$1"' sh {} \; >&2 || true
  fail "TZ=$tz: answers or daily note differ from the host's $host_zone time ($before .. $after)"
}

exchange UTC UTC
exchange Europe/Berlin Europe/Berlin
# No zone file in the root for this one: the C library falls back to UTC.
exchange America/New_York UTC

cmp -s "$work/stderr" <(expected_stderr tools/call tools/call tools/call tools/call) || { cat "$work/stderr" >&2; fail "unexpected diagnostics"; }

echo "static root test passed"
