#!/usr/bin/env bash
# The main job on loopback: builds the tools, then strobix sends pattern
# blocks to plaingrab, which receives, verifies every payload and prints its
# statistics report.
# Usage: scripts/demo.sh [blocks]   (environment: STREAM_PORT, RESEND_PORT, RATE)
set -euo pipefail
cd "$(dirname "$0")/.."
blocks=${1:-200}
stream_port=${STREAM_PORT:-50010}
resend_port=${RESEND_PORT:-50011}
rate=${RATE:-200}
build=build/demo

scripts/deps.sh install build
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZOK_BUILD_TESTS=OFF -DZOK_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target plaingrab strobix >/dev/null

echo "+ plaingrab -i $blocks -T 60 --verify-payload -P 127.0.0.1:$resend_port 127.0.0.1:$stream_port"
"$build/plaingrab/plaingrab" -i "$blocks" -T 60 --verify-payload \
  -P "127.0.0.1:$resend_port" "127.0.0.1:$stream_port" &
receiver=$!
trap 'kill "$receiver" 2>/dev/null || true' EXIT

# Send only once the receiver's socket is bound, or the first blocks are lost.
for _ in $(seq 100); do
  ss -Hlun "sport = :$stream_port" | grep -q . && break
  sleep 0.05
done
sleep 0.2

echo "+ strobix -c -n $blocks -r $rate -l 127.0.0.1:$resend_port 127.0.0.1:$stream_port"
"$build/strobix/strobix" -c -n "$blocks" -r "$rate" -l "127.0.0.1:$resend_port" "127.0.0.1:$stream_port"

status=0
wait "$receiver" || status=$?
trap - EXIT
echo "plaingrab exited with status $status"
exit "$status"
