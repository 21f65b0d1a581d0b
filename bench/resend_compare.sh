#!/usr/bin/env bash
# Two engines against the same strobix streams, back to back, for each of:
# 5% loss, a whole-block shuffle, a reorder of at most 16 places. Prints one
# line per engine and stream from resend_latency, and strobix's tally.
# Usage: bench/resend_compare.sh BUILD_DIR OTHER_LIBZOK_DIR [ROUNDS]
#   BUILD_DIR holds resend_latency, strobix and this tree's libzok;
#   OTHER_LIBZOK_DIR holds the libzok.so.0 to compare with.
set -u
build=$1 other=$2 rounds=${3:-3}
probe=$build/bench/resend_latency strobix=$build/strobix/strobix
run() {  # name blocks strobix-args...
  local name=$1 blocks=$2
  shift 2
  for engine in other this; do
    local lib=$build/libzok lp=$((40000 + RANDOM % 10000)) rp=$((50000 + RANDOM % 10000))
    [ "$engine" = other ] && lib=$other
    local out
    out=$(mktemp)
    LD_LIBRARY_PATH=$lib "$probe" --local 127.0.0.1:$lp --resend 127.0.0.1:$rp --blocks "$blocks" \
      --size 400000 >"$out" 2>&1 &
    local pid=$!
    for _ in $(seq 50); do grep -q ready "$out" && break; sleep 0.1; done
    local tally
    tally=$("$strobix" -l 127.0.0.1:$rp -W 500 "$@" 127.0.0.1:$lp | grep 'Sent\|Resend requests' | tr '\n' ' ')
    wait $pid
    printf '%-20s %-5s %s | strobix: %s\n' "$name" "$engine" "$(grep blocks "$out")" "$tally"
    rm -f "$out"
  done
}
for round in $(seq "$rounds"); do
  run "loss 5%" 200 -n 200 -s 300000 -L 5 --seed "$round" -r 100
  run "shuffle whole block" 20 -n 20 -s 300000 -O --seed "$round" -r 100
  run "reorder within 16" 20 -n 20 -s 300000 -O16 --seed "$round" -r 100
done
