#!/usr/bin/env bash
# Builds what the soak needs and runs it: tests/soak/run.sh [--long|--short]
#   [--build-dir DIR] [--scenario accounting|hostile|exits|names|all]
#   [--seed N] [--keep]
# The build directory defaults to build/ at the top of the checkout (made
# with the default configuration when it does not exist yet).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(cd "$here/../.." && pwd)
build="${BUILD_DIR:-$top/build}"
mode=short
extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --long) mode=long ;;
    --short) mode=short ;;
    --build-dir) build="$2"; shift ;;
    --scenario|--seed|--work-dir) extra+=("$1" "$2"); shift ;;
    --keep) extra+=("$1") ;;
    *) echo "run.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
  shift
done

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$top" -B "$build" -G Ninja
fi
cmake --build "$build" -j2 --target strobix plaingrab workergrab niclabel \
  soak_hostile_sender soak_stream_probe

exec python3 "$here/soak.py" --mode "$mode" "${extra[@]}" \
  --strobix "$build/strobix/strobix" \
  --plaingrab "$build/plaingrab/plaingrab" \
  --workergrab "$build/workergrab/workergrab" \
  --niclabel "$build/niclabel/niclabel" \
  --hostile-sender "$build/tests/soak/soak_hostile_sender" \
  --stream-probe "$build/tests/soak/soak_stream_probe"
