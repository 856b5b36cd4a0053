#!/usr/bin/env bash
# Checks the Homebrew formula and the AUR PKGBUILD that scripts/release
# wrote: the formula parses (`ruby -c`) and names this release's tarball by
# URL and checksum; the PKGBUILD builds with makepkg, as an unprivileged
# user (makepkg refuses root), from the tarball beside it, into a package
# holding the server, its manual page and the licence, and the server in it
# answers. The download itself is not made: makepkg finds the file under
# its URL's name and verifies its checksum.
#
#   brew_aur_check.sh <dist dir> <version> <platform key> <owner>
set -euo pipefail
dist=$(cd "$1" && pwd)
version=$2
platform=$3
owner=$4

source "$(dirname "$0")/common.sh"

tarball=vestigor-mcp-$version-$platform.tar.gz
sum=$(sha256sum "$dist/$tarball" | cut -d' ' -f1)
url="https://github.com/$owner/vestigor-mcp/releases/download/v$version/$tarball"

formula=$dist/vestigor-mcp.rb
[[ $(ruby -c "$formula") == "Syntax OK" ]] || fail "ruby -c rejects $formula"
grep -qxF "      url \"$url\"" "$formula" || fail "the formula does not name $url"
grep -qxF "      sha256 \"$sum\"" "$formula" || fail "the formula does not carry the tarball's checksum $sum"
grep -qxF "  version \"$version\"" "$formula" || fail "the formula is not for version $version"
echo "formula: Syntax OK, $tarball $sum"

pkgbuild=$dist/aur/PKGBUILD
grep -qxF "source_x86_64=(\"$url\")" "$pkgbuild" || fail "the PKGBUILD does not name $url"
work=$(mktemp -d "${TMPDIR:-/tmp}/vestigor-aur.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$pkgbuild" "$dist/aur/$tarball" "$work/"
as_user=()
if [[ $(id -u) -eq 0 ]]; then
  chown -R nobody:nogroup "$work"
  chmod 755 "$work"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
# --nodeps and PACMAN=true: this is not an Arch system, there is no pacman
# to check dependencies with (the package has none).
(cd "$work" && env -i PATH="$PATH" HOME="$work" PKGDEST="$work" SRCDEST="$work" PACMAN=true \
  "${as_user[@]}" makepkg --nodeps --noconfirm --noprogressbar >"$work/makepkg.log" 2>&1) ||
  { cat "$work/makepkg.log" >&2; fail "makepkg failed"; }
grep -qxF "    $tarball ... Passed" "$work/makepkg.log" || { cat "$work/makepkg.log" >&2; fail "makepkg did not verify the tarball's checksum"; }
package=$(find "$work" -maxdepth 1 -name "vestigor-mcp-bin-$version-1-x86_64.pkg.tar.*")
[[ -n $package ]] || fail "makepkg made no vestigor-mcp-bin-$version-1-x86_64 package"
files=$(bsdtar -tf "$package" | grep -v '/$' | LC_ALL=C sort | tr '\n' ' ')
expected='.BUILDINFO .MTREE .PKGINFO usr/bin/vestigor-mcp usr/share/doc/vestigor-mcp/README.md usr/share/licenses/vestigor-mcp-bin/LICENSE usr/share/man/man1/vestigor-mcp.1.gz '
[[ $files == "$expected" ]] || fail "the package holds: $files"$'\n'"expected: $expected"
mkdir "$work/root"
bsdtar -xf "$package" -C "$work/root"
answer=$(printf '%s\n' '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05","capabilities":{},"clientInfo":{"name":"aur","version":"0"}}}' |
  env -i "$work/root/usr/bin/vestigor-mcp" 2>/dev/null)
[[ $answer == *'"serverInfo":{"name":"vestigor-mcp","version":"'"$version"'"}'* ]] || fail "the packaged server answered: $answer"
echo "AUR: $(basename "$package") built with makepkg${as_user:+ as nobody}, server answers"
