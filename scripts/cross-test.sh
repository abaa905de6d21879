#!/usr/bin/env bash
# Cross-builds the library and its test suite for another platform and runs
# the suite there through CTest:
#
#   scripts/cross-test.sh i386    32-bit x86 Linux (natively when the kernel
#                                 runs 32-bit programs, else under qemu-i386;
#                                 CROSS_TEST_QEMU=1 forces qemu-i386)
#   scripts/cross-test.sh s390x   64-bit big-endian IBM Z Linux, qemu-s390x
#   scripts/cross-test.sh aarch64 64-bit Arm Linux, qemu-aarch64
#   scripts/cross-test.sh win64   64-bit Windows (MinGW-w64), under wine
#
# Debian packages that are missing are installed first (needs root). The
# build goes to build-cross-<target>; GoogleTest is built from
# /usr/src/googletest with the cross compiler.
set -euo pipefail

usage() {
  echo "usage: $0 i386|s390x|aarch64|win64" >&2
  exit 2
}
[ $# -eq 1 ] || usage
target=$1
case "$target" in
  i386 | s390x | aarch64 | win64) ;;
  *) usage ;;
esac

cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build-cross-$target"
jobs=$(nproc 2>/dev/null || echo 2)
say() { echo "cross-test[$target]: $*"; }

# ---------------------------------------------------------------------------
# Packages.
updated=no
install_seconds=0
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    say "missing packages ${missing[*]}, and installing them needs root" >&2
    exit 1
  fi
  local start=$SECONDS
  say "installing ${missing[*]}"
  if [ $updated = no ]; then
    apt-get update -qq
    updated=yes
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
  install_seconds=$((install_seconds + SECONDS - start))
}

common=(cmake ninja-build python3 googletest)
case "$target" in
  i386) ensure_packages "${common[@]}" g++-i686-linux-gnu binutils-i686-linux-gnu ;;
  s390x) ensure_packages "${common[@]}" g++-s390x-linux-gnu binutils-s390x-linux-gnu qemu-user ;;
  aarch64) ensure_packages "${common[@]}" g++-aarch64-linux-gnu binutils-aarch64-linux-gnu \
             qemu-user ;;
  win64) ensure_packages "${common[@]}" g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
           wine wine64 ;;
esac

extra=()
ctest_args=()
if [ "$target" = i386 ]; then
  # A kernel with 32-bit support runs the test programs directly; otherwise
  # qemu-i386 does.
  probe=$(mktemp -d)
  printf 'int main(void) { return sizeof(long) == 4 ? 0 : 1; }\n' > "$probe/probe.c"
  if [ "${CROSS_TEST_QEMU:-0}" != 1 ] &&
     i686-linux-gnu-gcc -static "$probe/probe.c" -o "$probe/probe" 2>/dev/null &&
     "$probe/probe" 2>/dev/null; then
    say "the kernel runs 32-bit programs: tests run natively"
    extra+=(-DKELHASH_I386_NATIVE=ON)
  else
    say "tests run under qemu-i386 (CROSS_TEST_QEMU=1, or the kernel runs no 32-bit programs)"
    ensure_packages qemu-user
    extra+=(-DKELHASH_I386_NATIVE=OFF)
    # Debian 12's qemu-i386 (7.2) hangs when a dynamically linked program
    # starts a thread, which the FIFO tests do for their writer, and in the
    # forked child of the allocation-failure test: those are left out.
    ctest_args+=(--exclude-regex 'Fifo|AllocationFailureIsOom')
    say "qemu-i386 hangs on new threads: the FIFO and allocation-failure tests are left out"
  fi
  rm -rf "$probe"
fi

if [ "$target" = win64 ]; then
  # A wine prefix of the build's own, set up once before the tests.
  export WINEPREFIX="$build/wineprefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
fi

if [ $install_seconds -gt 0 ]; then say "package installs took ${install_seconds}s"; fi

# ---------------------------------------------------------------------------
# Build and test.
start=$SECONDS
say "configuring $build"
# A build directory configured otherwise (another toolchain, or i386 tests
# run the other way) is started afresh: the toolchain's settings only take
# effect in a new build directory.
if [ -f "$build/CMakeCache.txt" ]; then
  fresh=no
  grep -q "^CMAKE_TOOLCHAIN_FILE:.*toolchains/$target.cmake$" "$build/CMakeCache.txt" || fresh=yes
  for setting in ${extra[@]+"${extra[@]}"}; do
    grep -q "^${setting#-D}$" <(sed 's/:[A-Z]*=/=/' "$build/CMakeCache.txt") || fresh=yes
  done
  if [ $fresh = yes ]; then rm -rf "$build"; fi
fi
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$target.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DKELHASH_WERROR=ON \
  -DKELHASH_GTEST_SOURCE=/usr/src/googletest \
  ${extra[@]+"${extra[@]}"} >/dev/null

say "building"
cmake --build "$build" -j "$jobs"

if [ "$target" = win64 ] && [ ! -f "$WINEPREFIX/system.reg" ]; then
  say "creating the wine prefix"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi

say "running the tests"
status=0
# No test takes a minute and a half natively; the timeout ends a hang.
ctest --test-dir "$build" --output-on-failure --no-tests=error --timeout 900 -j "$jobs" \
  ${ctest_args[@]+"${ctest_args[@]}"} || status=$?

if [ "$target" = win64 ]; then
  wineserver -k 2>/dev/null || true
fi

say "build and tests took $((SECONDS - start))s"
exit $status
