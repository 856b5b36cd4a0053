#!/bin/sh
# wine_search_bench.sh: the Windows server's full-scan search under Wine
# against its read floor, a plain Win32 program (bench/windows/
# read_floor_win32.cpp: FindFirstFileExW with large fetch, CreateFileW,
# ReadFile), and its answers against the Linux build's.
#
#   bench/wine_search_bench.sh [VAULT_DIR]
#
# Expects the Windows server built (cmake --workflow --preset windows, or
# $EXE) and the Linux server of the windows-e2e build ($LINUX, built here
# when missing). Writes 2,000- and 10,000-note vaults with gen_vault under
# VAULT_DIR (default /tmp) unless they exist, reads them once so that every
# run finds them in the page cache, keeps one wineserver running in a Wine
# prefix of its own, then runs bench/wine_race.py: the floor, the server
# (and BEFORE=path/to/an/older.exe) and the Linux server, interleaved run
# by run (RUNS, default 10, after a warm-up round), on two queries that no
# note holds (every note is read); 20 queries checked byte for byte against
# the Linux build; and, with SERVER_LOG=1, wineserver requests per note.
set -eu

cd "$(dirname "$0")/.."
DIR=${1:-/tmp}
EXE=${EXE:-build/windows/vestigor-mcp.exe}
LINUX=${LINUX:-build/windows-e2e/vestigor-mcp}
OUT=${OUT:-build/wine-bench}
RUNS=${RUNS:-10}
mkdir -p "$OUT"

if [ ! -x "$LINUX" ]; then
  cmake --preset windows-e2e >/dev/null
  cmake --build build/windows-e2e --target vestigor-mcp >/dev/null
fi
g++ -std=c++23 -O2 -Isrc -Itests -Ibench bench/gen_vault.cpp src/util/path.cpp \
  -o "$OUT/gen_vault"
x86_64-w64-mingw32-g++-posix -std=c++23 -O2 -municode -static \
  bench/windows/read_floor_win32.cpp -o "$OUT/read_floor_win32.exe"

for notes in 2000 10000; do
  vault="$DIR/vestigor-wine-vault-$notes"
  if [ ! -d "$vault" ]; then
    "$OUT/gen_vault" "$vault" "$notes" >/dev/null
  fi
  find "$vault" -type f -exec cat {} + >/dev/null  # warm the page cache
done

WINE=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
WINEPREFIX=$(pwd)/$OUT/wineprefix
LAUNCHER=$OUT/wine
cat >"$LAUNCHER" <<EOF
#!/bin/sh
WINEPREFIX="$WINEPREFIX" LANG=C.UTF-8 WINEDEBUG=\${WINEDEBUG:--all}
export WINEPREFIX LANG WINEDEBUG
exec "$WINE" "\$@"
EOF
chmod +x "$LAUNCHER"
WINESERVER=$(command -v wineserver64 || command -v wineserver ||
  echo /usr/lib/wine/wineserver)
# One wineserver of this prefix, kept while the runs go on (any other one
# of it, maybe a transient one, is ended first).
WINEPREFIX=$WINEPREFIX "$WINESERVER" -k 2>/dev/null || true
WINEPREFIX=$WINEPREFIX "$WINESERVER" -p 600 2>/dev/null || true
"$LAUNCHER" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true

set -- --wine "$LAUNCHER" --exe "$EXE" --floor "$OUT/read_floor_win32.exe" \
  --linux "$LINUX" --runs "$RUNS" "$DIR/vestigor-wine-vault-2000" \
  "$DIR/vestigor-wine-vault-10000"
if [ -n "${BEFORE:-}" ]; then
  set -- --before "$BEFORE" "$@"
fi
if [ -n "${SERVER_LOG:-}" ]; then
  set -- --server-log "$@"
fi
export WINEPREFIX WINESERVER
exec python3 bench/wine_race.py "$@"
