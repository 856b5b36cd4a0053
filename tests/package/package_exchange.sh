#!/usr/bin/env bash
# Checks what a user gets from a configured and built tree:
#   - `cmake --install` into a prefix: exactly the server, its manual page,
#     README.md and LICENSE;
#   - the .deb that cpack makes: its control fields, exactly its files, the
#     machine-readable copyright file holding LICENSE's terms, the changelog,
#     the manual page, and lintian reporting no error;
#   - the .tar.gz that cpack makes: one folder with exactly the files of
#     `cmake --install`.
# The .deb is unpacked with `dpkg -x` and the tarball with tar (nothing is
# installed on the system); each unpacked server then holds an initialize /
# tools/list / tools/call exchange in a bare environment.
#
#   package_exchange.sh <build dir> <cpack> <cmake> <version> <static: ON|OFF>
set -euo pipefail

build_dir=$(cd "$1" && pwd)
cpack=$2
cmake=$3
version=$4
expect_static=$5
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/vestigor-pkg.XXXXXX")
trap 'rm -rf "$work"' EXIT

source "$(dirname "$0")/common.sh"

# Regular files and links below $1, relative, sorted, one per line.
files_below() {
  (cd "$1" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
}

expect_files() {
  local where=$1 what=$2 expected=$3 actual
  actual=$(files_below "$where")
  [[ $actual == "$expected" ]] ||
    fail "$what holds:"$'\n'"$actual"$'\n'"expected:"$'\n'"$expected"
}

# A manual page must be gzip-compressed without a file name or time stamp
# in its header, and render without a warning from man or groff.
check_manual_page() {
  local page=$1
  gzip -t "$page" || fail "$page is not a valid gzip file"
  [[ $(od -An -tu1 -j4 -N4 "$page" | tr -d ' ') == 0000 ]] ||
    fail "$page carries a time stamp in its gzip header (gzip -n)"
  (( ($(od -An -tu1 -j3 -N1 "$page") & 8) == 0 )) ||
    fail "$page carries a file name in its gzip header (gzip -n)"
  if command -v man >/dev/null; then
    local warnings
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    [[ -z $warnings ]] || fail "man warns about $page: $warnings"
    LC_ALL=C.UTF-8 man -l "$page" 2>/dev/null | grep -q '^NAME' || fail "$page renders no NAME section"
  fi
}

# A binary meant to be static must load nothing: no NEEDED entry, no
# program interpreter.
check_linkage() {
  local server=$1 what=$2 linkage
  linkage=$(readelf -d -l "$server" | sed -n 's/.*\(NEEDED\|program interpreter\).*[[:space:]]\[\?\([^]]*\)\]$/\2/p' | tr '\n' ' ')
  if [[ $expect_static == ON ]]; then
    [[ -z $linkage ]] || fail "$server should be fully static but has: $linkage"
  fi
  echo "$what: ${linkage:-fully static}"
}

requests=$(
  session_start package-test
  echo '{"jsonrpc":"2.0","id":2,"method":"tools/list"}'
  tool_call 3 get_current_state '{}'
  tool_call 4 search '{"query":"i̇stanbul ready"}'
  tool_call 5 append_daily_log '{"text":"Installed from the package"}'
)
tools='[{"description":"Return the vault'"'"'s current-state.md - the '"'"'answer before the question'"'"' snapshot of what is true and active right now.","inputSchema":{"additionalProperties":false,"properties":{},"type":"object"},"name":"get_current_state"},{"description":"Return the open threads / loops currently in flight (open-threads.md).","inputSchema":{"additionalProperties":false,"properties":{},"type":"object"},"name":"list_open_threads"},{"description":"Case-insensitive substring search across all markdown notes in the vault. Returns matching file paths with the first matching line.","inputSchema":{"additionalProperties":false,"properties":{"query":{"description":"Text to search for","type":"string"}},"required":["query"],"type":"object"},"name":"search"},{"description":"Append a timestamped entry to today'"'"'s daily log (daily/YYYY-MM-DD.md). Use this to record what happened so it can be consolidated later.","inputSchema":{"additionalProperties":false,"properties":{"text":{"description":"The entry to append","type":"string"}},"required":["text"],"type":"object"},"name":"append_daily_log"}]'
expected_head='{"id":1,"jsonrpc":"2.0","result":{"capabilities":{"tools":{}},"protocolVersion":"2024-11-05","serverInfo":{"name":"vestigor-mcp","version":"'"$version"'"}}}
{"id":2,"jsonrpc":"2.0","result":{"tools":'"$tools"'}}
{"id":3,"jsonrpc":"2.0","result":{"content":[{"text":"# Now\nReady to ship.\n","type":"text"}],"isError":false}}
{"id":4,"jsonrpc":"2.0","result":{"content":[{"text":"1 file match(es) for \"i̇stanbul ready\":\n\nnotes/trip.md:2: Two: İstanbul READY","type":"text"}],"isError":false}}'

appended() {
  printf '%s\n{"id":5,"jsonrpc":"2.0","result":{"content":[{"text":"Appended to daily/%s.md","type":"text"}],"isError":false}}\n' \
    "$expected_head" "$1"
}

# Holds the exchange with the server $1, in a fresh vault, with the
# loader's default library paths and nothing else in the environment.
exchange() {
  local server=$1 what=$2
  local vault=$work/vault-$what
  mkdir -p "$vault/notes"
  printf '# Now\nReady to ship.\n' >"$vault/current-state.md"
  printf 'one\nTwo: İstanbul READY\n' >"$vault/notes/trip.md"

  local day_before day_after status=0
  day_before=$(TZ=UTC date +%Y-%m-%d)
  printf '%s\n' "$requests" |
    env -i PATH=/usr/bin:/bin VESTIGOR_VAULT="$vault" TZ=UTC timeout 10 "$server" \
      >"$work/stdout" 2>"$work/stderr" || status=$?
  day_after=$(TZ=UTC date +%Y-%m-%d)
  [[ $status -eq 0 ]] || { cat "$work/stderr" >&2; fail "$what: the server exited with status $status"; }
  if ! cmp -s "$work/stdout" <(appended "$day_before") && ! cmp -s "$work/stdout" <(appended "$day_after"); then
    diff <(appended "$day_before") "$work/stdout" >&2 || true
    fail "$what: the responses differ from the expected bytes"
  fi
  [[ -f $vault/daily/$day_before.md || -f $vault/daily/$day_after.md ]] || fail "$what: no daily note was written"
  cmp -s "$work/stderr" <(expected_stderr tools/list tools/call tools/call tools/call) || { cat "$work/stderr" >&2; fail "$what: unexpected diagnostics"; }
  echo "$what: exchange passed"
}

# ---- cmake --install ----

build_server=$build_dir/vestigor-mcp
size=$(stat -c %s "$build_server")
echo "server binary: $size bytes"
if [[ $expect_static == ON ]]; then
  # The runtimes and the server's own code, Unicode tables included.
  (( size <= 2 * 1024 * 1024 )) || fail "the server binary is $size bytes, more than 2 MiB"
fi

"$cmake" --install "$build_dir" --prefix "$work/prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; fail "cmake --install failed"; }
install_files='bin/vestigor-mcp
share/doc/vestigor-mcp/LICENSE
share/doc/vestigor-mcp/README.md
share/man/man1/vestigor-mcp.1.gz'
expect_files "$work/prefix" "the prefix of cmake --install" "$install_files"
[[ -x $work/prefix/bin/vestigor-mcp ]] || fail "the installed server is not executable"
cmp -s "$work/prefix/share/doc/vestigor-mcp/LICENSE" "$source_dir/LICENSE" || fail "the installed LICENSE differs"
cmp -s <(gzip -dc "$work/prefix/share/man/man1/vestigor-mcp.1.gz") "$source_dir/doc/vestigor-mcp.1" ||
  fail "the installed manual page differs from doc/vestigor-mcp.1"
check_manual_page "$work/prefix/share/man/man1/vestigor-mcp.1.gz"

# ---- cpack: both packages ----

if ! "$cpack" --config "$build_dir/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  fail "cpack could not build the packages"
fi
debs=("$work"/out/vestigor-mcp_*.deb)
tarballs=("$work"/out/vestigor-mcp-*.tar.gz)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "expected one vestigor-mcp_*.deb, found: ${debs[*]}"
[[ ${#tarballs[@]} -eq 1 && -f ${tarballs[0]} ]] || fail "expected one vestigor-mcp-*.tar.gz, found: ${tarballs[*]}"
deb=${debs[0]}
tarball=${tarballs[0]}
echo "packages: $(basename "$deb") $(basename "$tarball")"

# ---- the .deb ----

[[ $(basename "$deb") == "vestigor-mcp_${version}_$(dpkg --print-architecture).deb" ]] ||
  fail "the package file is named $(basename "$deb")"
[[ $(dpkg-deb -f "$deb" Package) == vestigor-mcp ]] || fail "package name is $(dpkg-deb -f "$deb" Package)"
[[ $(dpkg-deb -f "$deb" Version) == "$version" ]] || fail "version is $(dpkg-deb -f "$deb" Version)"
maintainer=$(dpkg-deb -f "$deb" Maintainer)
[[ $maintainer =~ ^[^\<]+\ \<[^@\>]+@[^@\>]+\>$ && $maintainer != *.invalid\> && $maintainer != *example* ]] ||
  fail "the maintainer field is a placeholder or malformed: $maintainer"
depends=$(dpkg-deb -f "$deb" Depends)
echo "depends: ${depends:-(none)}"

dpkg -x "$deb" "$work/root"
deb_files='usr/bin/vestigor-mcp
usr/share/doc/vestigor-mcp/README.md
usr/share/doc/vestigor-mcp/changelog.gz
usr/share/doc/vestigor-mcp/copyright'
if [[ -e $work/root/usr/share/lintian/overrides/vestigor-mcp ]]; then
  deb_files+=$'\n''usr/share/lintian/overrides/vestigor-mcp'
fi
deb_files+=$'\n''usr/share/man/man1/vestigor-mcp.1.gz'
expect_files "$work/root" "the .deb" "$deb_files"
deb_server=$work/root/usr/bin/vestigor-mcp
[[ -x $deb_server ]] || fail "the packaged server is not executable"
check_manual_page "$work/root/usr/share/man/man1/vestigor-mcp.1.gz"

# Every shared library the packaged server loads must be a declared
# dependency; a fully static server loads none.
check_linkage "$deb_server" deb
needed=$(readelf -d "$deb_server" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for lib in $needed; do
  case $lib in
    libc.so.*) [[ $depends == *libc6* ]] || fail "links $lib but Depends lacks libc6" ;;
    libstdc++.so.*) [[ $depends == *libstdc++6* ]] || fail "links $lib but Depends lacks libstdc++6" ;;
  esac
done
[[ -n $needed || -z $depends ]] || fail "a server that loads no library should depend on nothing, not: $depends"

# The copyright file: Debian's machine-readable format, and LICENSE's
# permission text as the terms of every file.
copyright=$work/root/usr/share/doc/vestigor-mcp/copyright
[[ $(head -n 1 "$copyright") == "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ]] ||
  fail "the copyright file does not start with the machine-readable Format line"
grep -qx 'Files: \*' "$copyright" && grep -qx 'License: Expat' "$copyright" ||
  fail "the copyright file has no 'Files: *' paragraph under the Expat licence"
license_in_copyright=$(awk '/^License: Expat$/ { text = ""; on = 1; next }
  on && /^ / { line = substr($0, 2); text = text (line == "." ? "" : line) "\n"; next }
  { on = 0 }
  END { printf "%s", text }' "$copyright")
license_terms=$(sed '1,/^Copyright (c)/d' "$source_dir/LICENSE" | sed '/./,$!d')
[[ $license_in_copyright == "$license_terms" ]] || fail "the copyright file's licence text differs from LICENSE"
grep -qx "Copyright: $(sed -n 's/^Copyright (c) //p' "$source_dir/LICENSE")" "$copyright" ||
  fail "the copyright file names other holders than LICENSE"

changelog=$work/root/usr/share/doc/vestigor-mcp/changelog.gz
[[ $(gzip -dc "$changelog" | head -n 1) == "vestigor-mcp ($version) "* ]] ||
  fail "the changelog does not start with this version: $(gzip -dc "$changelog" | head -n 1)"

# lintian: errors fail the test; everything it says is shown.
lintian_status=0
lintian --pedantic --info --fail-on error "$deb" >"$work/lintian.log" 2>&1 || lintian_status=$?
grep -v 'running with root privileges' "$work/lintian.log" || true
[[ $lintian_status -eq 0 ]] || fail "lintian reports errors (status $lintian_status)"
echo "lintian: $(grep -c '^E: ' "$work/lintian.log" || true) errors, $(grep -c '^W: ' "$work/lintian.log" || true) warnings"

exchange "$deb_server" deb

# ---- the .tar.gz ----

top=vestigor-mcp-$version-$(uname -s | tr '[:upper:]' '[:lower:]')-$(uname -m)
[[ $(basename "$tarball") == "$top.tar.gz" ]] || fail "the tarball is named $(basename "$tarball"), not $top.tar.gz"
listing=$(tar -tzf "$tarball")
[[ -z $(grep -v "^$top/" <<<"$listing") ]] || fail "the tarball has entries outside $top/"
mkdir "$work/unpacked"
tar -xzf "$tarball" -C "$work/unpacked"
[[ $(ls "$work/unpacked") == "$top" ]] || fail "the tarball unpacks to: $(ls "$work/unpacked")"
expect_files "$work/unpacked/$top" "the tarball" "$install_files"
tar_server=$work/unpacked/$top/bin/vestigor-mcp
[[ -x $tar_server ]] || fail "the server in the tarball is not executable"
cmp -s "$tar_server" "$deb_server" || fail "the tarball's server differs from the .deb's"
cmp -s "$work/unpacked/$top/share/doc/vestigor-mcp/LICENSE" "$source_dir/LICENSE" || fail "the tarball's LICENSE differs"
cmp -s "$work/unpacked/$top/share/doc/vestigor-mcp/README.md" "$source_dir/README.md" || fail "the tarball's README differs"
check_manual_page "$work/unpacked/$top/share/man/man1/vestigor-mcp.1.gz"
check_linkage "$tar_server" tarball

exchange "$tar_server" tarball

echo "package test passed"
