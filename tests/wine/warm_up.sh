#!/bin/sh
# Makes the Wine prefix (seconds, once per build folder) and starts its
# wineserver to stay two minutes after the last program ends, so that each
# start of a program under test takes milliseconds and no first start
# holds its standard error open while Wine sets up.
#   warm_up.sh <the build's wine launcher> <wineserver>
set -eu
WINEPREFIX=$(sed -n 's/^WINEPREFIX="\(.*\)"$/\1/p' "$1")
export WINEPREFIX
# Fails when a wineserver runs already: that one serves.
"$2" -p 120 2>/dev/null || true
# A new prefix's first start may report the prefix's own setup as failed.
"$1" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
"$1" cmd /c exit 0 </dev/null >/dev/null
