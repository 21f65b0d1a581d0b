#!/usr/bin/env bash
# strobix --camera driven by clients nobody here wrote (Debian's aravis-tools
# and its Python API) and by camctl, on a network namespace of its own made
# by scripts/testnet.sh.
#   clients_test.sh SCENARIO STROBIX CAMCTL PLAINGRAB WORKERGRAB TESTNET
# SCENARIO: aravis (arv-tool reads and writes the features; through Aravis's
# Python API the stream's frames come whole and as the test pattern says under
# loss, with resends, chunks and 64-bit ids, after the packet size was found
# with test packets; tshark decodes every acknowledge), multicast (Aravis's API
# points the stream at a group plaingrab joined), camctl (discover, get/set
# every feature, refuse chunk features, stream into plaingrab and workergrab).
# Exits 77 with "SKIPPED: reason" where the network or a client cannot be had.
set -uo pipefail

scenario=$1 strobix=$2 camctl=$3 plaingrab=$4 workergrab=$5 testnet=$6
# A name of this run's own, so that another checkout's run of the same
# scenario does not replace this network.
name=sx$scenario$$
serial=SX$scenario
work=$(mktemp -d /tmp/camera_clients.XXXXXX)
source "$(dirname "$0")/../lib/scenario.bash"
capture_pid=

cleanup() {
  [[ -n $capture_pid ]] && kill "$capture_pid" 2>/dev/null
  "$testnet" down --name "$name" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

need() {  # need COMMAND PACKAGE
  command -v "$1" >/dev/null || { echo "SKIPPED: no $1 (Debian package $2)"; exit 77; }
}
need_aravis_python() {
  # The system's interpreter, where Debian's bindings are, may not be first on PATH.
  python=
  for p in python3 /usr/bin/python3; do
    if "$p" -c 'import gi; gi.require_version("Aravis", "0.8")' 2>/dev/null; then
      python=$p
      return
    fi
  done
  echo "SKIPPED: no Aravis Python API (Debian packages python3-gi gir1.2-aravis-0.8)"
  exit 77
}
case $scenario in
aravis) need arv-tool-0.8 aravis-tools-cli; need tshark tshark; need_aravis_python ;;
multicast) need_aravis_python ;;
esac

network_up "$testnet" --name "$name" --strobix "$strobix" --strobix-args "-v --serial $serial"
# The number after "NAME " in the Aravis client's report.
stat() {
  sed -n "s/^$1 \([0-9]*\)$/\1/p" "$2" | tail -1
}
# plaingrab or workergrab takes COUNT blocks of BYTES at ADDRESS:PORT.
receive_check() {  # receive_check OUTPUT COUNT BYTES WHAT
  expect_in "$1" "Blocks Complete:        $2" "$4"
  local whole
  whole=$(grep -c "len:$3, status=0x0" "$1")
  [[ $whole -eq $2 ]] || fail "$4: $whole of $2 blocks of $3 bytes"
}

case $scenario in
aravis)
  tshark -i "$TESTNET_HOST_IF" -f "udp port 3956" -w "$work/gvcp.pcapng" >"$work/tshark.log" 2>&1 &
  capture_pid=$!
  for _ in $(seq 600); do grep -q Capturing "$work/tshark.log" && break; sleep 0.1; done

  arv-tool-0.8 -a "$cam" features >"$work/features" 2>&1 || fail "arv-tool features"
  for f in Width Height OffsetX OffsetY PixelFormat PayloadSize AcquisitionMode AcquisitionStart \
    AcquisitionStop AcquisitionFrameRate ExposureTime Gain TriggerSelector TriggerMode TriggerSource \
    TriggerSoftware ChunkModeActive ChunkSelector ChunkEnable ChunkTimestamp ChunkFrameID \
    ChunkExposureTime GevSCPSPacketSize GevSCPD GevTimestampTickFrequency TimestampLatch \
    TimestampLatchValue DeviceUserID LossPerMille ReorderDistance DuplicatePackets; do
    grep -q "'$f'" "$work/features" || fail "arv-tool features lists no $f"
  done
  for e in Mono8 Mono10 Mono12 Mono12Packed Mono16 BayerRG8 BayerRG12 RGB8 BGR8 YUV422_8; do
    grep -q "EnumEntry   : '$e'" "$work/features" || fail "no PixelFormat $e"
  done
  arv-tool-0.8 -a "$cam" control Width=320 Height=200 PixelFormat=Mono16 TriggerSelector=AcquisitionStart \
    TriggerMode=On ChunkSelector=ExposureTime ChunkEnable=true DeviceUserID=left >/dev/null 2>&1 ||
    fail "arv-tool control (write)"
  arv-tool-0.8 -a "$cam" control Width Height PixelFormat PayloadSize TriggerSelector TriggerMode \
    ChunkSelector ChunkEnable DeviceUserID >"$work/control" 2>&1
  for line in "Width = 320" "Height = 200" "PixelFormat = Mono16" "PayloadSize = 128000" \
    "TriggerSelector = AcquisitionStart" "TriggerMode = On" "ChunkSelector = ExposureTime" \
    "ChunkEnable = true" "DeviceUserID = left"; do
    expect_in "$work/control" "$line" "arv-tool control"
  done
  # The other selector's values are its own.
  arv-tool-0.8 -a "$cam" control TriggerSelector=FrameStart TriggerMode ChunkSelector=Timestamp ChunkEnable \
    >"$work/selected" 2>&1
  expect_in "$work/selected" "TriggerMode = Off" "TriggerMode of FrameStart"
  expect_in "$work/selected" "ChunkEnable = false" "ChunkEnable of Timestamp"

  # 2% loss, chunks, 64-bit ids, and a packet size too big for the link:
  # Aravis finds 1500 with test packets, asks for resends, and gets every
  # frame whole, its pixels and chunks as they should be.
  arv-tool-0.8 -a "$cam" control TriggerSelector=AcquisitionStart TriggerMode=Off Width=640 \
    Height=480 OffsetX=8 PixelFormat=Mono8 LossPerMille=20 GevGVSPExtendedIDMode=On \
    GevSCPSPacketSize=9000 >/dev/null 2>&1 || fail "arv-tool control (stream settings)"
  "$python" - "$cam" 50 >"$work/stream" 2>&1 <<'EOF'
import sys
import gi
gi.require_version("Aravis", "0.8")
from gi.repository import Aravis
address, frames = sys.argv[1], int(sys.argv[2])
camera = Aravis.Camera.new(address)
camera.gv_auto_packet_size()
print("packet size", camera.gv_get_packet_size())
camera.set_chunks("Timestamp,FrameID")
parser = camera.create_chunk_parser()
camera.set_frame_rate(25)
w, h = camera.get_integer("Width"), camera.get_integer("Height")
ox, oy = camera.get_integer("OffsetX"), camera.get_integer("OffsetY")
# Mono8's test pattern, as man strobix gives it.
want = bytes((ox + x + 2 * (oy + y)) % 256 for y in range(h) for x in range(w))
stream = camera.create_stream(None, None)
# Patient as a loaded machine needs: a frame is judged only once its packets
# and their resends had seconds to come, not Aravis's default 0.1 s.
stream.set_property("frame-retention", 5000000)
stream.set_property("packet-timeout", 100000)
for _ in range(8):
    stream.push_buffer(Aravis.Buffer.new_allocate(camera.get_payload()))
camera.start_acquisition()
whole = wrong = 0
for _ in range(frames):
    # Longer than the frame retention above: a frame Aravis still waits for
    # is not yet a frame that never came.
    buf = stream.timeout_pop_buffer(15000000)
    if buf is None:
        print("no frame within 15 s")
        break
    if buf.get_status() == Aravis.BufferStatus.SUCCESS:
        whole += 1
        if (bytes(buf.get_image_data()[:w * h]) != want or
                parser.get_integer_value(buf, "ChunkFrameID") != buf.get_frame_id()):
            wrong += 1
    else:
        print("frame", buf.get_frame_id(), "status", buf.get_status())
    stream.push_buffer(buf)
camera.stop_acquisition()
print("whole", whole)
print("wrong", wrong)
for name in ("n_resend_requests", "n_resent_packets"):
    print(name, stream.get_info_uint64_by_name(name))
EOF
  [[ $(stat whole "$work/stream") == 50 ]] || fail "Aravis got $(stat whole "$work/stream") of 50 frames whole"
  [[ $(stat wrong "$work/stream") == 0 ]] || fail "frames unlike the test pattern or their chunks"
  [[ $(stat n_resend_requests "$work/stream") -gt 0 ]] || fail "Aravis asked for no resends"
  [[ $(stat n_resent_packets "$work/stream") -gt 0 ]] || fail "Aravis got no resent packets"
  expect_in "$work/stream" "packet size 1500" "Aravis's packet size"
  # What the camera saw of the requests tells its faults from the client's.
  [[ $failures -eq 0 ]] || { sed 's/^/    /' "$work/stream"; tail -15 "$TESTNET_CAMERA_LOG" | sed 's/^/    camera: /'; }
  expect_in "$TESTNET_CAMERA_LOG" "Acquisition stopped" "the camera's log"

  kill -INT "$capture_pid"
  wait "$capture_pid"
  capture_pid=
  tshark -r "$work/gvcp.pcapng" -V >"$work/decoded" 2>&1
  acks=$(grep -c "Acknowledge Header" "$work/decoded")
  [[ $acks -gt 100 ]] || fail "tshark decoded $acks acknowledges, want more than 100"
  if grep -qiE "malformed|Expert Info \((Error|Warning)" "$work/decoded"; then
    fail "tshark found faults in the GVCP exchange:"
    grep -iE -B20 "malformed|Expert Info \((Error|Warning)" "$work/decoded" | head -60 | sed 's/^/    /'
  fi
  ;;
multicast)
  group=239.255.42.$((RANDOM % 200 + 10))
  "$plaingrab" -v -i 5 -T 30 -P "$cam" "$group:50030" >"$work/plaingrab" 2>&1 &
  rx=$!
  for _ in $(seq 600); do ss -Hlun src "$group:50030" | grep -q . && break; sleep 0.1; done
  "$python" - "$cam" "$group" 50030 >"$work/aravis" 2>&1 <<'EOF' &
import signal, socket, struct, sys
import gi
gi.require_version("Aravis", "0.8")
from gi.repository import Aravis
address, group, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
camera = Aravis.Camera.new(address)
device = camera.get_device()
device.set_integer_feature_value("Width", 320)
device.set_integer_feature_value("Height", 240)
device.set_integer_feature_value("GevSCDA", struct.unpack("!I", socket.inet_aton(group))[0])
device.set_integer_feature_value("GevSCPHostPort", port)
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
device.execute_command("AcquisitionStart")
print("Streaming", flush=True)
try:
    while True:
        signal.pause()
finally:
    device.execute_command("AcquisitionStop")
EOF
  holder=$!
  wait "$rx"
  kill "$holder"
  wait "$holder" || { fail "the Aravis client ended with $?"; cat "$work/aravis"; }
  receive_check "$work/plaingrab" 5 76800 "plaingrab on $group"
  expect_in "$TESTNET_CAMERA_LOG" "to $group:50030" "the camera's log"
  ;;
camctl)
  "$camctl" discover -i "$TESTNET_HOST_IF" >"$work/discover" 2>&1 || fail "discover failed"
  expect_in "$work/discover" "$cam " "discover"
  expect_in "$work/discover" "serial=$serial" "discover"
  settings=(Width=320 Height=200 OffsetX=64 OffsetY=32 PixelFormat=Mono16 AcquisitionMode=Continuous
    AcquisitionFrameRate=25 ExposureTime=2500 Gain=6 TriggerSelector=FrameStart TriggerMode=Off
    TriggerSource=Software ChunkModeActive=true ChunkSelector=FrameID ChunkEnable=true GevSCPSPacketSize=1400
    GevSCPD=1000 DeviceUserID=right LossPerMille=0.5 ReorderDistance=4 DuplicatePackets=false)
  "$camctl" set "$cam" "${settings[@]}" >"$work/set" 2>&1 || { fail "set failed"; cat "$work/set"; }
  names=()
  for s in "${settings[@]}"; do names+=("${s%%=*}"); done
  "$camctl" get "$cam" "${names[@]}" >"$work/get" 2>&1 || { fail "get failed"; cat "$work/get"; }
  printf '%s\n' "${settings[@]}" | diff - "$work/get" >"$work/diff" || { fail "get differs"; cat "$work/diff"; }
  "$camctl" get "$cam" PayloadSize GevTimestampTickFrequency >"$work/ro" 2>&1
  printf 'PayloadSize=%s\nGevTimestampTickFrequency=1000000000\n' $((320 * 200 * 2 + 8 + 16)) |
    diff - "$work/ro" || fail "read-only features differ"
  "$camctl" set "$cam" TimestampLatch=1 >/dev/null 2>&1 || fail "TimestampLatch"
  "$camctl" get "$cam" TimestampLatchValue >"$work/latch" 2>&1
  grep -q "^TimestampLatchValue=[1-9]" "$work/latch" || fail "TimestampLatchValue: $(cat "$work/latch")"
  "$camctl" get "$cam" ChunkTimestamp >"$work/chunk" 2>&1
  [[ $? -eq 1 ]] || fail "a chunk feature was read from registers"
  expect_in "$work/chunk" "chunk data" "get ChunkTimestamp"
  "$camctl" set "$cam" Width=640 Height=480 PixelFormat=Mono8 OffsetX=0 OffsetY=0 ChunkModeActive=false \
    GevSCPD=0 ReorderDistance=0 LossPerMille=0 >/dev/null 2>&1 || fail "set for streaming"
  for rx in "$plaingrab" "$workergrab"; do
    out=$work/$(basename "$rx")
    "$rx" -v -i 5 -T 30 -P "$cam" "$host:50040" >"$out" 2>&1 &
    rxpid=$!
    for _ in $(seq 600); do ss -Hlun src "$host:50040" | grep -q . && break; sleep 0.1; done
    "$camctl" stream "$cam" --to "$host:50040" -T 30 >"$work/stream" 2>&1 &
    streamer=$!
    # A camctl that cannot stream ends first: the receiver need not wait for -T.
    wait -n "$rxpid" "$streamer"
    kill -0 "$rxpid" 2>/dev/null && kill -TERM "$rxpid"
    wait "$rxpid"
    kill -TERM "$streamer" 2>/dev/null
    wait "$streamer" || { fail "camctl stream ended with $?"; cat "$work/stream"; }
    receive_check "$out" 5 307200 "$(basename "$rx")"
  done
  ;;
*)
  fail "unknown scenario $scenario"
  ;;
esac

if [[ $failures -eq 0 ]]; then
  echo "camera clients $scenario: passed"
  exit 0
fi
exit 1
