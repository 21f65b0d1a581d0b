#!/usr/bin/env bash
# camctl against the simulated camera of Debian's aravis-tools, on a network
# namespace of its own made by scripts/testnet.sh.
#   camctl_camera_test.sh SCENARIO CAMCTL PLAINGRAB WORKERGRAB TESTNET
# SCENARIO: features (discover, get/set round trip), stream (both receivers
# get whole images of the size set; nothing comes once camctl ends), rival
# (a second controller is refused while the first holds the camera), vanish
# (the camera's link goes down mid-stream), snap (two images written as PNG
# of the size set, the camera let go after). Exits 77 with "SKIPPED: reason"
# where the network or the simulator cannot be had.
set -uo pipefail

scenario=$1 camctl=$2 plaingrab=$3 workergrab=$4 testnet=$5
# A name of this run's own: testnet.sh replaces a network of the same name,
# and another checkout's run of the same scenario must not take ours away.
name=cc$scenario$$
work=$(mktemp -d /tmp/camctl_camera.XXXXXX)
# The descriptions camctl keeps stay with the test.
export XDG_CACHE_HOME=$work
source "$(dirname "$0")/../lib/scenario.bash"

cleanup() {
  "$testnet" down --name "$name" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

[[ -x $testnet ]] || { echo "SKIPPED: no $testnet (the test network script)"; exit 77; }
network_up "$testnet" --name "$name" --camera


# A receiver gets `count` blocks while camctl streams to it.
receive() {  # receive PROGRAM PORT COUNT
  local out=$work/$(basename "$1").$2
  "$1" -v -i "$3" -T 30 -P "$cam" "$host:$2" >"$out" 2>&1 &
  local rx=$!
  # A stream started before the receiver has bound would cut its first block.
  for _ in $(seq 600); do
    ss -Hlun src "$host:$2" | grep -q . && break
    kill -0 "$rx" 2>/dev/null || break
    sleep 0.1
  done
  "$camctl" stream "$cam" --to "$host:$2" -T 30 >"$work/stream.$2" 2>&1 &
  local streamer=$!
  wait "$rx"
  kill -TERM "$streamer"
  wait "$streamer"
  local rc=$?
  [[ $rc -eq 0 ]] || { fail "camctl stream ended with $rc"; cat "$work/stream.$2"; }
  expect_in "$work/stream.$2" "Stopped after" "camctl stream"
  expect_in "$out" "Blocks Complete:        $3" "$(basename "$1")"
  local whole
  whole=$(grep -c "len:$4, status=0x0" "$out")
  [[ $whole -eq $3 ]] || fail "$(basename "$1"): $whole of $3 blocks of $4 bytes"
}

case $scenario in
features)
  "$camctl" discover -i "$TESTNET_HOST_IF" >"$work/discover" 2>&1 || fail "discover failed"
  expect_in "$work/discover" "$cam " "discover"
  expect_in "$work/discover" "serial=GV01" "discover"
  expect_in "$work/discover" "subnet=ok" "discover"
  "$camctl" set "$cam" Width=320 Height=200 PixelFormat=Mono16 >"$work/set" 2>&1 ||
    { fail "set failed"; cat "$work/set"; }
  # Looked up by serial this time (on this network only: other simulated
  # cameras may share the serial), and read back.
  "$camctl" get -i "$TESTNET_HOST_IF" GV01 Width Height PixelFormat >"$work/get" 2>&1 || fail "get failed"
  printf 'Width=320\nHeight=200\nPixelFormat=Mono16\n' | diff - "$work/get" || fail "get differs"
  mac=$(awk '{print $2; exit}' "$work/discover")
  "$camctl" get -i "$TESTNET_HOST_IF" "$mac" Height >"$work/by_mac" 2>&1 || fail "get by MAC failed"
  expect_in "$work/by_mac" "Height=200" "get by MAC"
  # Above the sensor's width (pMax): refused, and nothing written.
  "$camctl" set "$cam" Width=4096 >"$work/bad" 2>&1 && fail "a Width above its maximum was taken"
  expect_in "$work/bad" "out of range" "set Width=4096"
  "$camctl" get "$cam" Width >"$work/get" 2>&1
  expect_in "$work/get" "Width=320" "Width after the refused set"
  ;;
stream)
  "$camctl" set "$cam" Width=320 Height=240 PixelFormat=Mono8 >/dev/null || fail "set failed"
  receive "$plaingrab" 50010 5 76800
  receive "$workergrab" 50012 5 76800
  # camctl has ended: the camera must be silent now.
  "$plaingrab" -i 1 -T 3 -P "$cam" "$host:50010" >"$work/after" 2>&1
  expect_in "$work/after" "Blocks Complete:        0" "after camctl ended"
  expect_in "$work/after" "Blocks received:        0" "after camctl ended"
  ;;
rival)
  "$camctl" stream "$cam" --to "$host:50014" -T 20 >"$work/first" 2>&1 &
  first=$!
  for _ in $(seq 600); do grep -q Streaming "$work/first" && break; sleep 0.1; done
  # Past the camera's heartbeat timeout (3 s): only the heartbeat keeps it held.
  sleep 4
  "$camctl" stream "$cam" --to "$host:50016" -T 2 >"$work/second" 2>&1
  rc=$?
  [[ $rc -eq 3 ]] || fail "second controller: status $rc, want 3"
  expect_in "$work/second" "another application controls this camera" "second controller"
  "$camctl" set "$cam" Width=256 >"$work/third" 2>&1
  [[ $? -eq 3 ]] || fail "set while held: not refused"
  kill -INT "$first"
  wait "$first" || fail "the first controller did not end cleanly"
  "$camctl" set "$cam" Width=256 >/dev/null 2>&1 || fail "set after release refused"
  ;;
vanish)
  "$camctl" --timeout 200 --retries 2 stream "$cam" --to "$host:50018" -T 30 >"$work/vanish" 2>&1 &
  streamer=$!
  for _ in $(seq 600); do grep -q Streaming "$work/vanish" && break; sleep 0.1; done
  ip link set "$TESTNET_HOST_IF" down
  wait "$streamer"
  rc=$?
  [[ $rc -eq 4 ]] || fail "vanished camera: status $rc, want 4"
  expect_in "$work/vanish" "stopped answering while streaming" "vanished camera"
  ;;
snap)
  "$camctl" set "$cam" Width=320 Height=240 PixelFormat=Mono8 >/dev/null || fail "set failed"
  "$camctl" snap "$cam" --count 2 -o "$work/snap.png" >"$work/snap" 2>&1 ||
    { fail "snap failed"; cat "$work/snap"; }
  for n in 1 2; do
    expect_in "$work/snap" "$work/snap-$n.png 320x240 Mono8 block " "snap"
    file "$work/snap-$n.png" >"$work/file.$n"
    expect_in "$work/file.$n" "PNG image data, 320 x 240, 8-bit grayscale" "snap-$n.png"
  done
  "$camctl" reg "$cam" 0x0A00 0x0D18 >"$work/after" 2>&1
  printf '0x00000A00=0x00000000\n0x00000D18=0x00000000\n' | diff - "$work/after" ||
    fail "control or destination left set after snap"
  ;;
*)
  fail "unknown scenario $scenario"
  ;;
esac

finish "camera $scenario: passed"
