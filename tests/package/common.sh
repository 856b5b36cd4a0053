# common.sh: what the package and release checks share. Sourced.

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
skip() {
  echo "SKIP: $*"
  exit 77
}

# Sets `enter` to the command that runs /vestigor-mcp chrooted into $1,
# after giving that root a /dev/null: a device node where the system allows
# one, otherwise the host's bound into a private mount namespace for the
# server's run only.
chroot_command() {
  local root=$1 chroot_bin unshare_bin sh_bin
  chroot_bin=$(command -v chroot)
  mkdir -p "$root/dev"
  enter=("$chroot_bin" "$root" /vestigor-mcp)
  if ! mknod -m 666 "$root/dev/null" c 1 3 2>/dev/null; then
    : >"$root/dev/null"
    unshare_bin=$(command -v unshare) || skip "cannot create $root/dev/null and unshare is missing"
    sh_bin=$(command -v sh)
    enter=("$unshare_bin" --mount "$sh_bin" -c \
      'mount --bind /dev/null "$1/dev/null" && exec "$2" "$1" /vestigor-mcp' \
      sh "$root" "$chroot_bin")
  fi
}

# The request lines that open a session as client $1.
session_start() {
  printf '%s\n' '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05","capabilities":{},"clientInfo":{"name":"'"$1"'","version":"0"}}}' \
    '{"jsonrpc":"2.0","method":"notifications/initialized"}'
}

# A tools/call request line: id $1, tool $2, arguments $3 (JSON).
tool_call() {
  printf '{"jsonrpc":"2.0","id":%s,"method":"tools/call","params":{"name":"%s","arguments":%s}}\n' "$1" "$2" "$3"
}

# The server's diagnostics for a session_start and then the methods named
# in the arguments, one line each.
expected_stderr() {
  echo '[vestigor-mcp] starting on stdio'
  local method
  for method in initialize notifications/initialized "$@"; do
    printf '[vestigor-mcp] -> %s\n' "$method"
  done
}
