#!/usr/bin/env bash
# Checks what `cmake --install` puts under a prefix, then builds the Debian
# package of the same configured and built tree with cpack, unpacks it into a
# temporary root with `dpkg -x` (nothing is installed on the system) and holds
# an initialize / tools/list / tools/call exchange with the unpacked binary, in
# a bare environment and with the loader's default library paths.
#
#   deb_exchange.sh <build dir> [cpack program] [cmake program]
set -euo pipefail

build_dir=$(cd "$1" && pwd)
cpack=${2:-cpack}
cmake=${3:-cmake}
work=$(mktemp -d "${TMPDIR:-/tmp}/vestigor-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

"$cmake" --install "$build_dir" --prefix "$work/prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "cmake --install failed"; }
installed=$(cd "$work/prefix" && find . -type f | sort | tr '\n' ' ')
[[ $installed == "./bin/vestigor-mcp ./share/doc/vestigor-mcp/README.md " ]] ||
  fail "cmake --install put these files under the prefix: $installed"
[[ -x $work/prefix/bin/vestigor-mcp ]] || fail "the installed server is not executable"

if ! "$cpack" -G DEB --config "$build_dir/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  fail "cpack could not build the package"
fi
debs=("$work"/out/vestigor-mcp_*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "expected one vestigor-mcp_*.deb, found: ${debs[*]}"
deb=${debs[0]}
echo "package: $(basename "$deb")"

[[ $(dpkg-deb -f "$deb" Package) == vestigor-mcp ]] || fail "package name is $(dpkg-deb -f "$deb" Package)"
[[ $(dpkg-deb -f "$deb" Version) == 0.1.0 ]] || fail "version is $(dpkg-deb -f "$deb" Version)"
depends=$(dpkg-deb -f "$deb" Depends)
echo "depends: $depends"

dpkg -x "$deb" "$work/root"
packaged=$(cd "$work/root" && find . -type f | sort | tr '\n' ' ')
[[ $packaged == "./usr/bin/vestigor-mcp ./usr/share/doc/vestigor-mcp/README.md " ]] ||
  fail "the package holds these files: $packaged"
server=$work/root/usr/bin/vestigor-mcp
[[ -x $server ]] || fail "the packaged server is not executable"
# Every shared library the packaged server loads must be a declared
# dependency; a fully static server loads none.
needed=$(objdump -p "$server" | awk '$1 == "NEEDED" {print $2}')
for lib in $needed; do
  case $lib in
    libc.so.*) [[ $depends == *libc6* ]] || fail "links $lib but Depends lacks libc6" ;;
    libicuuc.so.*) [[ $depends == *libicu72* ]] || fail "links $lib but Depends lacks libicu72" ;;
    libstdc++.so.*) [[ $depends == *libstdc++6* ]] || fail "links $lib but Depends lacks libstdc++6" ;;
  esac
done
echo "needed: $(echo $needed)"

vault=$work/vault
mkdir -p "$vault/notes"
printf '# Now\nReady to ship.\n' >"$vault/current-state.md"
printf 'one\nTwo: İstanbul READY\n' >"$vault/notes/trip.md"

requests='{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05","capabilities":{},"clientInfo":{"name":"deb-test","version":"0"}}}
{"jsonrpc":"2.0","method":"notifications/initialized"}
{"jsonrpc":"2.0","id":2,"method":"tools/list"}
{"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"get_current_state","arguments":{}}}
{"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"search","arguments":{"query":"i̇stanbul ready"}}}
{"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"append_daily_log","arguments":{"text":"Installed from the package"}}}'

day_before=$(TZ=UTC date +%Y-%m-%d)
status=0
printf '%s\n' "$requests" |
  env -i PATH=/usr/bin:/bin VESTIGOR_VAULT="$vault" TZ=UTC timeout 10 "$server" >"$work/stdout" 2>"$work/stderr" ||
  status=$?
day_after=$(TZ=UTC date +%Y-%m-%d)
[[ $status -eq 0 ]] || { cat "$work/stderr" >&2; fail "the server exited with status $status"; }

tools='[{"description":"Return the vault'"'"'s current-state.md - the '"'"'answer before the question'"'"' snapshot of what is true and active right now.","inputSchema":{"additionalProperties":false,"properties":{},"type":"object"},"name":"get_current_state"},{"description":"Return the open threads / loops currently in flight (open-threads.md).","inputSchema":{"additionalProperties":false,"properties":{},"type":"object"},"name":"list_open_threads"},{"description":"Case-insensitive substring search across all markdown notes in the vault. Returns matching file paths with the first matching line.","inputSchema":{"additionalProperties":false,"properties":{"query":{"description":"Text to search for","type":"string"}},"required":["query"],"type":"object"},"name":"search"},{"description":"Append a timestamped entry to today'"'"'s daily log (daily/YYYY-MM-DD.md). Use this to record what happened so it can be consolidated later.","inputSchema":{"additionalProperties":false,"properties":{"text":{"description":"The entry to append","type":"string"}},"required":["text"],"type":"object"},"name":"append_daily_log"}]'
expected_head='{"id":1,"jsonrpc":"2.0","result":{"capabilities":{"tools":{}},"protocolVersion":"2024-11-05","serverInfo":{"name":"vestigor-mcp","version":"0.1.0"}}}
{"id":2,"jsonrpc":"2.0","result":{"tools":'"$tools"'}}
{"id":3,"jsonrpc":"2.0","result":{"content":[{"text":"# Now\nReady to ship.\n","type":"text"}],"isError":false}}
{"id":4,"jsonrpc":"2.0","result":{"content":[{"text":"1 file match(es) for \"i̇stanbul ready\":\n\nnotes/trip.md:2: Two: İstanbul READY","type":"text"}],"isError":false}}'
appended() {
  printf '%s\n{"id":5,"jsonrpc":"2.0","result":{"content":[{"text":"Appended to daily/%s.md","type":"text"}],"isError":false}}\n' \
    "$expected_head" "$1"
}
if ! cmp -s "$work/stdout" <(appended "$day_before") && ! cmp -s "$work/stdout" <(appended "$day_after"); then
  diff <(appended "$day_before") "$work/stdout" >&2 || true
  fail "the responses differ from the expected bytes"
fi
[[ -f $vault/daily/$day_before.md || -f $vault/daily/$day_after.md ]] || fail "no daily note was written"

expected_stderr='[vestigor-mcp] starting on stdio
[vestigor-mcp] -> initialize
[vestigor-mcp] -> notifications/initialized
[vestigor-mcp] -> tools/list
[vestigor-mcp] -> tools/call
[vestigor-mcp] -> tools/call
[vestigor-mcp] -> tools/call'
cmp -s "$work/stderr" <(printf '%s\n' "$expected_stderr") || { cat "$work/stderr" >&2; fail "unexpected diagnostics"; }

echo "package test passed"
