#!/usr/bin/env bash
# One command for the comparison with Aravis's receiver: builds what it
# measures, then runs every table (see bench/README.md).
# Usage: bench/compare.sh [--quick] [--build-dir DIR] [--no-build] [--out DIR] [compare options]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build="$root/build/bench"
build_it=1
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build=$2; args+=("$1" "$2"); shift 2 ;;
    --build-dir=*) build=${1#*=}; args+=("$1"); shift ;;
    --no-build) build_it=0; shift ;;
    *) args+=("$1"); shift ;;
  esac
done

if [ "$build_it" = 1 ]; then
  if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZOK_BUILD_TESTS=OFF >/dev/null
  fi
  # One target at a time: a program that does not build costs only its rows.
  for target in strobix plaingrab workergrab multigrab; do
    cmake --build "$build" --target "$target" -j 2 >/dev/null 2>&1 ||
      echo "compare: $target did not build; its rows will be n/a" >&2
  done
fi
exec python3 "$here/compare.py" --build-dir "$build" "${args[@]}"
