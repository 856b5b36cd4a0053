#!/usr/bin/env bash
# Checks what `scripts/release --all` wrote into build/dist: every platform
# of packaging/platforms in every channel that serves it, SHA256SUMS naming
# every file with its right sum, shipped executables stripped, each
# manifest as its tool reads it (the pinned bundle CLI validates each
# bundle; npm's os/cpu; the registry entry's bundles; the image index's
# platforms; the formula with ruby -c), the arm64 Debian package labelled
# arm64 with lintian reporting no error, and the server of every artifact
# answering initialize and a search: the Windows exe of the zip, the npm
# package and the bundle under Wine, the arm64 server of the tarball, the
# .deb, the npm package and the bundle under qemu-user.
#
#   release_all_check.sh <source dir> <version> <owner>
set -euo pipefail
source_dir=$(cd "$1" && pwd)
version=$2
owner=$3
dist=$source_dir/build/dist
mcpb=$source_dir/build/release-tools/node_modules/.bin/mcpb
wine_run=$source_dir/build/windows/wine
source "$(dirname "$0")/common.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/vestigor-release-all.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Every file, and SHA256SUMS naming exactly those (the AUR folder aside: the
# PKGBUILD names its own sums).
(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the files"
listed=$(cut -d' ' -f3 "$dist/SHA256SUMS" | LC_ALL=C sort | tr '\n' ' ')
present=$(cd "$dist" && find . -type f ! -name SHA256SUMS ! -path './aur/*' | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
[[ $listed == "$present" ]] || fail "SHA256SUMS names: $listed"$'\n'"dist holds: $present"
v=$version
expected="npm/vestigor-mcp-$v.tgz npm/vestigor-mcp-linux-arm64-$v.tgz npm/vestigor-mcp-linux-x64-$v.tgz \
npm/vestigor-mcp-win32-x64-$v.tgz server.json vestigor-mcp-$v-linux-aarch64.mcpb \
vestigor-mcp-$v-linux-aarch64.tar.gz vestigor-mcp-$v-linux-x86_64.mcpb vestigor-mcp-$v-linux-x86_64.tar.gz \
vestigor-mcp-$v-oci.tar vestigor-mcp-$v-windows-x86_64.mcpb vestigor-mcp-$v-windows-x86_64.zip \
vestigor-mcp-$v.tar.gz vestigor-mcp.rb vestigor-mcp_${v}_amd64.deb vestigor-mcp_${v}_arm64.deb "
[[ $present == "$expected" ]] || fail "dist holds: $present"$'\n'"expected:   $expected"
echo "SHA256SUMS: $(wc -l <"$dist/SHA256SUMS") files, all sums right"

# Each artifact's server, unpacked.
mkdir -p "$work"/{zip,npm-win,mcpb-win,tgz-arm,deb-arm,npm-arm,mcpb-arm,mcpb-x86}
(cd "$work/zip" && cmake -E tar xf "$dist/vestigor-mcp-$v-windows-x86_64.zip")
tar -xzf "$dist/npm/vestigor-mcp-win32-x64-$v.tgz" -C "$work/npm-win"
tar -xzf "$dist/npm/vestigor-mcp-linux-arm64-$v.tgz" -C "$work/npm-arm"
tar -xzf "$dist/vestigor-mcp-$v-linux-aarch64.tar.gz" -C "$work/tgz-arm"
dpkg-deb -x "$dist/vestigor-mcp_${v}_arm64.deb" "$work/deb-arm"
for pair in win:windows-x86_64 arm:linux-aarch64 x86:linux-x86_64; do
  "$mcpb" unpack "$dist/vestigor-mcp-$v-${pair#*:}.mcpb" "$work/mcpb-${pair%%:*}" >/dev/null
  "$mcpb" validate "$work/mcpb-${pair%%:*}/manifest.json" >/dev/null ||
    fail "the pinned mcpb CLI rejects the ${pair#*:} bundle's manifest"
done
windows_exes=("$work/zip/vestigor-mcp-$v-windows-x86_64/vestigor-mcp.exe"
  "$work/npm-win/package/bin/vestigor-mcp.exe" "$work/mcpb-win/server/vestigor-mcp.exe")
arm_servers=("$work/tgz-arm/vestigor-mcp-$v-linux-aarch64/bin/vestigor-mcp" "$work/deb-arm/usr/bin/vestigor-mcp"
  "$work/npm-arm/package/bin/vestigor-mcp" "$work/mcpb-arm/server/vestigor-mcp")

# The manifests: the bundles' platforms and entry points, npm's os/cpu.
json() { node -e 'const v=JSON.parse(require("fs").readFileSync(process.argv[1],"utf8")); console.log(JSON.stringify(eval(process.argv[2])))' "$@"; }
[[ $(json "$work/mcpb-win/manifest.json" '[v.compatibility.platforms,v.server.entry_point]') == '[["win32"],"server/vestigor-mcp.exe"]' ]] ||
  fail "the Windows bundle's manifest: $(json "$work/mcpb-win/manifest.json" 'v.compatibility')"
[[ $(json "$work/mcpb-arm/manifest.json" '[v.compatibility.platforms,v.server.entry_point]') == '[["linux"],"server/vestigor-mcp"]' ]] ||
  fail "the arm64 bundle's manifest"
[[ $(json "$work/npm-win/package/package.json" '[v.os,v.cpu,v.files]') == '[["win32"],["x64"],["bin/vestigor-mcp.exe"]]' ]] ||
  fail "the win32-x64 npm package: $(json "$work/npm-win/package/package.json" '[v.os,v.cpu,v.files]')"
[[ $(json "$work/npm-arm/package/package.json" '[v.os,v.cpu]') == '[["linux"],["arm64"]]' ]] || fail "the linux-arm64 npm package"
mkdir "$work/npm-main" && tar -xzf "$dist/npm/vestigor-mcp-$v.tgz" -C "$work/npm-main"
[[ $(json "$work/npm-main/package/package.json" 'Object.keys(v.optionalDependencies).sort()') == \
  '["vestigor-mcp-linux-arm64","vestigor-mcp-linux-x64","vestigor-mcp-win32-x64"]' ]] || fail "the main npm package's platforms"
# The registry entry: one bundle entry per bundle, with its sum; runtime
# hints; the image sets the vault itself.
for platform in linux-aarch64 linux-x86_64 windows-x86_64; do
  file=vestigor-mcp-$v-$platform.mcpb
  [[ $(json "$dist/server.json" "v.packages.filter(p=>p.registryType==='mcpb'&&p.identifier.endsWith('/$file')).map(p=>p.fileSha256)") == \
    "[\"$(sha256sum "$dist/$file" | cut -d' ' -f1)\"]" ]] || fail "server.json lacks one entry for $file with its sum"
done
[[ $(json "$dist/server.json" 'v.packages.map(p=>[p.registryType,p.runtimeHint??null])') == \
  '[["npm","npx"],["mcpb",null],["mcpb",null],["mcpb",null],["oci","docker"]]' ]] || fail "server.json's runtime hints"
[[ $(json "$dist/server.json" 'v.packages.find(p=>p.registryType==="oci").environmentVariables.map(e=>e.name)') == '["TZ"]' ]] ||
  fail "server.json's image entry asks for more than TZ"
# The image index: both Linux platforms.
platforms=$(skopeo inspect --raw "oci-archive:$dist/vestigor-mcp-$v-oci.tar:$v" |
  node -e 'let s="";process.stdin.on("data",d=>s+=d).on("end",()=>console.log(JSON.parse(s).manifests.map(m=>m.platform.os+"/"+m.platform.architecture).sort().join(" ")))')
[[ $platforms == "linux/amd64 linux/arm64" ]] || fail "the image index holds: $platforms"
# The formula: parses, builds the sources anywhere but where a Linux block
# gives the platform's archive.
formula=$dist/vestigor-mcp.rb
[[ $(ruby -c "$formula") == "Syntax OK" ]] || fail "ruby -c rejects $formula"
base="https://github.com/$owner/vestigor-mcp/releases/download/v$v"
grep -qxF "  url \"$base/vestigor-mcp-$v.tar.gz\"" "$formula" || fail "the formula's top-level url is not the source archive"
grep -qxF "  sha256 \"$(sha256sum "$dist/vestigor-mcp-$v.tar.gz" | cut -d' ' -f1)\"" "$formula" || fail "the formula lacks the source archive's sum"
grep -qxF "      url \"$base/vestigor-mcp-$v-linux-aarch64.tar.gz\"" "$formula" || fail "the formula lacks the arm64 archive"
grep -qF "arch=('x86_64' 'aarch64')" "$dist/aur/PKGBUILD" || fail "the PKGBUILD's arch: $(grep '^arch=' "$dist/aur/PKGBUILD")"
grep -qxF "source_aarch64=(\"$base/vestigor-mcp-$v-linux-aarch64.tar.gz\")" "$dist/aur/PKGBUILD" || fail "the PKGBUILD lacks the arm64 archive"
tar -tzf "$dist/vestigor-mcp-$v.tar.gz" "vestigor-mcp-$v/CMakeLists.txt" >/dev/null || fail "the source archive lacks CMakeLists.txt"
echo "manifests: 3 bundles valid (pinned mcpb), npm os/cpu, server.json, image index ($platforms), formula Syntax OK, PKGBUILD"

# The arm64 package is labelled arm64 and lintian finds no error in it.
[[ $(dpkg-deb -f "$dist/vestigor-mcp_${v}_arm64.deb" Architecture) == arm64 ]] || fail "the arm64 .deb's Architecture"
lintian_status=0
lintian --fail-on error "$dist/vestigor-mcp_${v}_arm64.deb" >"$work/lintian.log" 2>&1 || lintian_status=$?
[[ $lintian_status -eq 0 ]] || { cat "$work/lintian.log" >&2; fail "lintian reports errors in the arm64 .deb"; }
echo "arm64 .deb: Architecture arm64, lintian: $(grep -c '^E: ' "$work/lintian.log" || true) errors"

# Stripped, and the same bytes in every channel.
for exe in "${windows_exes[@]}"; do
  file -b "$exe" | grep -q 'stripped to external PDB' || fail "$exe is not stripped: $(file -b "$exe")"
  cmp -s "$exe" "${windows_exes[0]}" || fail "$exe differs from the zip's"
done
for server in "${arm_servers[@]}"; do
  [[ $(file -b "$server") == *'ARM aarch64'*', stripped' ]] || fail "$server: $(file -b "$server")"
  cmp -s "$server" "${arm_servers[0]}" || fail "$server differs from the tarball's"
done

# Every server answers initialize and a search in a real vault.
mkdir "$work/vault"
printf '# Now\nShipped everywhere.\n' >"$work/vault/current-state.md"
requests=$(session_start release-all; tool_call 2 search '{"query":"EVERYWHERE"}')
search_answer='{"id":2,"jsonrpc":"2.0","result":{"content":[{"text":"1 file match(es) for \"EVERYWHERE\":\n\ncurrent-state.md:2: Shipped everywhere.","type":"text"}],"isError":false}}'
check_answers() {  # <what> <command...>
  local what=$1 out
  shift
  out=$(printf '%s\n' "$requests" | timeout 60 env VESTIGOR_VAULT="$vault_path" TZ=UTC "$@" 2>/dev/null | tr -d '\r') ||
    fail "$what exited with status $?"
  [[ $out == *'"serverInfo":{"name":"vestigor-mcp","version":"'"$v"'"}'*$'\n'"$search_answer" ]] || fail "$what answered: $out"
}
vault_path=$work/vault
for server in "${arm_servers[@]}"; do
  check_answers "arm64 ${server#"$work"/}" qemu-aarch64-static "$server"
done
echo "arm64: the tarball's, the .deb's, the npm package's and the bundle's server answer under qemu-user"
[[ -x $wine_run ]] || skip "no Wine launcher at $wine_run (the windows preset writes it)"
for exe in "${windows_exes[@]}"; do
  check_answers "Windows ${exe#"$work"/}" "$wine_run" "$exe"
done
echo "windows-x86_64: the zip's, the npm package's and the bundle's exe answer under Wine"
