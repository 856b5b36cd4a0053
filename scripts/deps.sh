# Sourced by the scripts beside it: makes sure the Debian packages a step
# needs are installed. As root it installs what is missing with apt-get;
# otherwise it names what is missing and stops.
#
#   need_packages cmake ninja-build g++
need_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed'; then
      missing+=("$pkg")
    fi
  done
  if [ "${#missing[@]}" -eq 0 ]; then
    return 0
  fi
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "missing Debian packages: ${missing[*]}" >&2
    echo "install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
}

# What building the server needs.
BUILD_PACKAGES=(cmake ninja-build g++ liburing-dev)
# What the test suites add: GoogleTest, Google Benchmark, ICU (the oracle
# the Unicode tables are checked against), dpkg-dev and lintian for the
# package test, time-zone files for the empty-root test, strace for
# injecting system call failures, and Node.js with npm for the tests that
# drive the server from real MCP client libraries (need_node).
# scripts/release and its tests add umoci and skopeo (the OCI image), ruby
# (the Homebrew formula), and makepkg with bsdtar (the AUR package). The
# Windows server is cross-built with mingw-w64 and its tests run under Wine
# (wine64 alone: no 32-bit architecture is needed).
TEST_PACKAGES=(googletest libgtest-dev libbenchmark-dev libicu-dev dpkg-dev
  lintian tzdata strace umoci skopeo ruby makepkg libarchive-tools
  g++-mingw-w64-x86-64-posix wine64)
# The Linux arm64 server: cross-compiled with Debian's aarch64 GCC (its C
# and C++ runtimes come along) and tested under qemu-user, with GoogleTest
# built from the googletest sources above; the ring reader is left out
# (no liburing for arm64 without a second dpkg architecture, and qemu
# refuses io_uring anyway). `file` checks that release executables are
# stripped.
CROSS_PACKAGES=(g++-aarch64-linux-gnu qemu-user-static file)
# What the style checks need: clang-format, clang-tidy with clang-16 and
# libc++ (the one pairing in which clang sees std::expected), the headers
# the tests, benchmarks and fuzz targets include, and the Unicode
# Character Database with Python to regenerate the Unicode tables.
LINT_PACKAGES=(clang-format clang-16 clang-tidy-16 libc++-16-dev libc++abi-16-dev
  libgtest-dev libbenchmark-dev libicu-dev unicode-data python3)

# NodeSource's nodejs package ships npm itself and conflicts with Debian's
# npm package, so ask for the commands rather than for package names.
need_node() {
  if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
    need_packages nodejs npm
  fi
}
