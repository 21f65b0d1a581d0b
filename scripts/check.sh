#!/usr/bin/env bash
# Builds everything and passes every test, in three configurations:
#   1. gcc, warnings as errors: all tests (unit, golden, net, package, bench short mode, soak short mode)
#   2. clang with AddressSanitizer + UndefinedBehaviorSanitizer: all tests, fuzz targets included
#   3. clang with ThreadSanitizer: the threaded tests
# Usage: scripts/check.sh [--quick]   (--quick: configuration 1 only)
# Installs the Debian packages it needs first (scripts/deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-$(nproc)}
quick=0
[ "${1:-}" = "--quick" ] && quick=1

step() { printf '\n==== %s ====\n' "$*"; }

build() {  # build <dir> <cmake args...>
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja -DZOK_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

# Installs only what is missing, so a machine that has everything goes on
# without the package manager or the network.
scripts/deps.sh install build test

step "gcc build"
build "$root/build/gcc" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++
step "gcc tests"
ctest --test-dir "$root/build/gcc" --output-on-failure -j "$jobs" --timeout 600 -LE sim_full

if [ "$quick" = 1 ]; then exit 0; fi

step "clang address,undefined build"
build "$root/build/asan" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DZOK_SANITIZE=address,undefined -DZOK_BUILD_BENCH=OFF
step "clang address,undefined tests"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$root/build/asan" --output-on-failure -j "$jobs" --timeout 900 -LE 'package|bench|sim_full'

step "clang thread build"
build "$root/build/tsan" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DZOK_SANITIZE=thread -DZOK_BUILD_BENCH=OFF
step "clang thread tests"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir "$root/build/tsan" --output-on-failure -j "$jobs" --timeout 900 -L threads

step "all configurations passed"
