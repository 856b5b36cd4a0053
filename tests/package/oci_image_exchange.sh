#!/usr/bin/env bash
# Unpacks the OCI image that scripts/release made (an oci-archive) the way
# a container runtime does, checks its configuration (entry point, vault
# variable, registry label), and runs its entry point in the image's root
# file system with chroot: every tool, with the daily log in the local
# time of TZ=Europe/Berlin read from the image's own zone files. Needs root
# for chroot and skips (exit 77) otherwise, or when the build made no image
# (a dynamically linked server).
#
#   oci_image_exchange.sh <dist dir> <version> <registry name>
set -euo pipefail
dist=$1
version=$2
name=$3

source "$(dirname "$0")/common.sh"

archive=$dist/vestigor-mcp-$version-oci.tar
[[ -f $archive ]] || skip "no image in $dist (the release makes one only from a static server)"
[[ $(id -u) -eq 0 ]] || skip "entering the image's root needs chroot, which needs root"

work=$(mktemp -d "${TMPDIR:-/tmp}/vestigor-oci.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The archive holds an image index; a runtime takes the image of its own
# platform from it, as skopeo does here.
platforms=$(skopeo inspect --raw "oci-archive:$archive:$version" |
  node -e 'let s="";process.stdin.on("data",d=>s+=d).on("end",()=>console.log(JSON.parse(s).manifests.map(m=>m.platform.os+"/"+m.platform.architecture).join(" ")))')
[[ " $platforms " == *" linux/amd64 "* ]] || fail "the image index holds no linux/amd64 image: $platforms"
skopeo copy --quiet --override-os linux --override-arch amd64 "oci-archive:$archive:$version" "oci:$work/layout:$version"
umoci unpack --rootless --image "$work/layout:$version" "$work/bundle" >/dev/null
root=$work/bundle/rootfs

# The runtime configuration: the entry point, the vault inside the image,
# and the label the registry checks against server.json's name.
config=$(skopeo inspect --config "oci:$work/layout:$version")
for expected in '"Entrypoint": [' '"/vestigor-mcp"' '"VESTIGOR_VAULT=/vault"' \
  "\"io.modelcontextprotocol.server.name\": \"$name\""; do
  grep -qF -- "$expected" <<<"$config" || fail "the image configuration lacks $expected:"$'\n'"$config"
done
# From scratch: the server, the zone files, the vault mount point, /tmp.
extra=$(cd "$root" && find . -mindepth 1 -maxdepth 1 | LC_ALL=C sort | tr '\n' ' ')
[[ $extra == './tmp ./usr ./vault ./vestigor-mcp ' ]] || fail "unexpected root contents: $extra"

chroot_command "$root"

mkdir -p "$root/vault/agents/memory"
printf '# Now\nIn a container.\n' >"$root/vault/current-state.md"
printf -- '- push the image\n' >"$root/vault/agents/memory/open-threads.md"
requests=$(
  session_start oci-test
  tool_call 2 get_current_state '{}'
  tool_call 3 list_open_threads '{}'
  tool_call 4 search '{"query":"CONTAINER"}'
  tool_call 5 append_daily_log '{"text":"From the image"}'
)

before=$(TZ=Europe/Berlin date '+%Y-%m-%d %H:%M')
printf '%s\n' "$requests" |
  timeout 10 env -i TZ=Europe/Berlin VESTIGOR_VAULT=/vault "${enter[@]}" >"$work/stdout" 2>"$work/stderr" ||
  { status=$?; cat "$work/stderr" >&2; fail "the server exited with status $status"; }
after=$(TZ=Europe/Berlin date '+%Y-%m-%d %H:%M')

for stamp in "$before" "$after"; do
  day=${stamp% *} minute=${stamp#* }
  expected='{"id":1,"jsonrpc":"2.0","result":{"capabilities":{"tools":{}},"protocolVersion":"2024-11-05","serverInfo":{"name":"vestigor-mcp","version":"'"$version"'"}}}
{"id":2,"jsonrpc":"2.0","result":{"content":[{"text":"# Now\nIn a container.\n","type":"text"}],"isError":false}}
{"id":3,"jsonrpc":"2.0","result":{"content":[{"text":"- push the image\n","type":"text"}],"isError":false}}
{"id":4,"jsonrpc":"2.0","result":{"content":[{"text":"1 file match(es) for \"CONTAINER\":\n\ncurrent-state.md:2: In a container.","type":"text"}],"isError":false}}
{"id":5,"jsonrpc":"2.0","result":{"content":[{"text":"Appended to daily/'"$day"'.md","type":"text"}],"isError":false}}'
  if cmp -s "$work/stdout" <(printf '%s\n' "$expected") &&
    cmp -s "$root/vault/daily/$day.md" <(printf '# %s\n\n- %s From the image\n' "$day" "$minute"); then
    echo "image: every tool answered; daily/$day.md at $minute, Europe/Berlin time"
    exit 0
  fi
done
diff <(printf '%s\n' "$expected") "$work/stdout" >&2 || true
cat "$root"/vault/daily/* >&2 || true
fail "answers or daily note differ from the host's Europe/Berlin time ($before .. $after)"
