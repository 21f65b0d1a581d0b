#!/usr/bin/env bash
# A camera's link on one machine: a network namespace holds the camera's side
# of a veth pair, the host keeps the other end, each on its own /24.
#
#   scripts/testnet.sh up   [--name NAME] [--mtu 1500|9000] [--rate RATE]
#                           [--limit BYTES] [--burst BYTES] [--subnet K]
#                           [--drop PPM [--seed N] [--drop-port PORT]]
#                           [--camera | --strobix PATH [--strobix-args ARGS]]
#   scripts/testnet.sh down [--name NAME]
#   scripts/testnet.sh exec [--name NAME] -- CMD...
#   scripts/testnet.sh drops [--name NAME]
#
# `up` prints shell assignments (TESTNET_NS, TESTNET_HOST_IF, TESTNET_CAM_IF,
# TESTNET_HOST_ADDR, TESTNET_CAM_ADDR, TESTNET_PREFIX, TESTNET_MTU) so a test
# can `eval "$(scripts/testnet.sh up ...)"`. Where the network cannot be made
# (not root, no namespaces, no simulated camera) it prints "SKIPPED: reason"
# and exits 77, the status ctest treats as a skip.
#
# --rate puts a token-bucket shaper on the camera side's egress: a burst
# beyond --burst bytes waits in a queue of --limit bytes, and what overflows
# that queue is dropped (a sender whose socket's send buffer is the smaller
# is held back by it instead). Give --limit room for a block or more to cap
# the path's rate without loss; seeded loss comes from --drop.
# --drop adds a seeded BPF dropper on the same egress that drops PPM in a
# million UDP datagrams (to --drop-port only, if given); the decision depends
# only on the seed and the datagram's position in the sequence, so a run can
# be repeated, and `drops` prints how many it dropped.
# --camera starts the simulated GigE Vision camera of Debian's aravis-tools
# on the camera's address; --strobix starts strobix's camera mode there
# instead (PATH --camera -l CAMERA-ADDRESS ARGS), its output in the camera
# log that `up` names as TESTNET_CAMERA_LOG.
set -uo pipefail

readonly exit_skip=77
readonly state_root=/run/zok-testnet
here=$(cd "$(dirname "$0")" && pwd)

skip() {
  echo "SKIPPED: $*"
  exit "$exit_skip"
}
die() {
  echo "testnet: $*" >&2
  exit 1
}

name=net
mtu=1500
rate=
limit=
burst=
subnet=
camera=0
strobix=
strobix_args=
drop_ppm=
seed=1
drop_port=0
command=${1:-}
[[ -n $command ]] && shift
while [[ $# -gt 0 ]]; do
  case $1 in
  --name) name=$2; shift 2 ;;
  --mtu) mtu=$2; shift 2 ;;
  --rate) rate=$2; shift 2 ;;
  --limit) limit=$2; shift 2 ;;
  --burst) burst=$2; shift 2 ;;
  --subnet) subnet=$2; shift 2 ;;
  --drop) drop_ppm=$2; shift 2 ;;
  --seed) seed=$2; shift 2 ;;
  --drop-port) drop_port=$2; shift 2 ;;
  --camera) camera=1; shift ;;
  --strobix) strobix=$2; shift 2 ;;
  --strobix-args) strobix_args=$2; shift 2 ;;
  --) shift; break ;;
  *) die "unknown argument: $1" ;;
  esac
done

[[ $name =~ ^[A-Za-z0-9_.-]{1,40}$ ]] || die "bad name: $name"
readonly ns=zok-$name
readonly state=$state_root/$name.env

# Names under /24s of 10.213/16; K comes from the name so that two tests with
# different names get different subnets without agreeing on anything.
subnet_of_name() {
  local sum
  sum=$(printf '%s' "$1" | cksum | cut -d' ' -f1)
  echo $((sum % 200 + 20))
}

need_root() {
  [[ $(id -u) -eq 0 ]] || skip "the test network needs root (network namespaces, veth, tc)"
  command -v ip >/dev/null || skip "no ip command (iproute2)"
}

# Several tests make networks at once; one lock keeps the choice of subnet
# and the interface names from racing.
lock() {
  mkdir -p "$state_root" || skip "cannot make $state_root"
  exec 9>"$state_root/lock"
  flock 9
}

subnet_taken() {
  local k=$1 f
  ip link show "zok${k}h" >/dev/null 2>&1 && return 0
  ip -4 route show to match "10.213.$k.1" | grep -q "10.213.$k.0/24" && return 0
  # A receiver left running from an earlier network of this subnet still
  # holds its address (freely bound), and the next one would fail to bind it.
  [[ -n $(ss -Hanu "src 10.213.$k.0/24" 2>/dev/null) ]] && return 0
  for f in "$state_root"/*.env; do
    [[ -e $f && $f != "$state" ]] || continue
    grep -qx "TESTNET_SUBNET=$k" "$f" && return 0
  done
  return 1
}

in_ns() {
  ip netns exec "$ns" "$@"
}

ns_exists() {
  ip netns list | awk '{print $1}' | grep -qx -- "$ns"
}

stop_camera() {
  local pid
  [[ -f $state ]] || return 0
  pid=$(sed -n 's/^TESTNET_CAMERA_PID=//p' "$state")
  [[ -n $pid ]] || return 0
  # Only the camera this network started: the pid must still be that program.
  if grep -q 'arv-fake-gv-camera\|strobix' "/proc/$pid/cmdline" 2>/dev/null; then
    kill "$pid" 2>/dev/null
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null
  fi
}

do_down() {
  local host_if=
  if [[ -f $state ]]; then
    host_if=$(sed -n 's/^TESTNET_HOST_IF=//p' "$state")
  fi
  stop_camera
  # Whatever a crashed test left running inside the namespace was started
  # for this network and would keep it alive.
  if ns_exists; then
    local pids
    mapfile -t pids < <(ip netns pids "$ns" 2>/dev/null)
    if [[ ${#pids[@]} -gt 0 ]]; then
      kill "${pids[@]}" 2>/dev/null
      sleep 0.2
      kill -9 "${pids[@]}" 2>/dev/null
    fi
    ip netns del "$ns" 2>/dev/null
  fi
  # Deleting the namespace deletes the camera end and with it the pair; the
  # host end is deleted here too in case the namespace was already gone.
  [[ -n $host_if ]] && ip link del "$host_if" 2>/dev/null
  rm -f "$state" "$state_root/$name.bpf.o" "$state_root/$name.camera.log"
  return 0
}

build_dropper() {
  local obj=$state_root/$name.bpf.o
  command -v clang >/dev/null || skip "--drop needs clang to build the BPF dropper"
  [[ -r /usr/include/bpf/bpf_helpers.h ]] || skip "--drop needs libbpf-dev (bpf/bpf_helpers.h)"
  clang -O2 -g -target bpf -mcpu=v3 "-I/usr/include/$(uname -m)-linux-gnu" \
    -DDROP_PPM="$drop_ppm" -DDROP_SEED="$seed" -DDROP_PORT="$drop_port" \
    -c "$here/testnet_drop.bpf.c" -o "$obj" || die "cannot build the BPF dropper"
  echo "$obj"
}

do_up() {
  local k host_if cam_if host_addr cam_addr
  need_root
  [[ $mtu =~ ^[0-9]+$ && $mtu -ge 576 && $mtu -le 9000 ]] || die "bad MTU: $mtu"
  if [[ $camera -eq 1 ]] && ! command -v arv-fake-gv-camera-0.8 >/dev/null; then
    skip "--camera needs arv-fake-gv-camera-0.8 (Debian package aravis-tools)"
  fi
  [[ -z $strobix || -x $strobix ]] || die "--strobix: no program $strobix"
  [[ $camera -eq 0 || -z $strobix ]] || die "--camera and --strobix: one camera only"
  if [[ -n $drop_ppm ]]; then
    [[ $drop_ppm =~ ^[0-9]+$ && $drop_ppm -le 1000000 ]] || die "bad --drop: $drop_ppm"
    [[ $seed =~ ^[0-9]+$ && $drop_port =~ ^[0-9]+$ ]] || die "bad --seed or --drop-port"
    command -v tc >/dev/null || skip "--drop needs tc (iproute2)"
    command -v bpftool >/dev/null || skip "--drop needs bpftool to read the dropper's counters"
  fi
  if [[ -n $rate ]]; then
    command -v tc >/dev/null || skip "--rate needs tc (iproute2)"
  fi
  lock
  # A network of the same name left by a crashed run is replaced.
  do_down

  if [[ -n $subnet ]]; then
    [[ $subnet =~ ^[0-9]+$ && $subnet -ge 1 && $subnet -le 254 ]] || die "bad subnet: $subnet"
    subnet_taken "$subnet" && die "subnet 10.213.$subnet.0/24 is in use"
    k=$subnet
  else
    k=$(subnet_of_name "$name")
    local tries=0
    while subnet_taken "$k"; do
      k=$(((k - 20 + 1) % 200 + 20))
      tries=$((tries + 1))
      [[ $tries -lt 200 ]] || die "no free subnet in 10.213.20-219"
    done
  fi
  host_if=zok${k}h
  cam_if=zok${k}c
  host_addr=10.213.$k.1
  cam_addr=10.213.$k.2

  ip netns add "$ns" 2>/dev/null || skip "cannot make network namespace $ns"
  {
    echo "TESTNET_NS=$ns"
    echo "TESTNET_HOST_IF=$host_if"
    echo "TESTNET_CAM_IF=$cam_if"
    echo "TESTNET_HOST_ADDR=$host_addr"
    echo "TESTNET_CAM_ADDR=$cam_addr"
    echo "TESTNET_PREFIX=24"
    echo "TESTNET_MTU=$mtu"
    echo "TESTNET_SUBNET=$k"
  } >"$state"
  if ! ip link add "$host_if" mtu "$mtu" type veth peer name "$cam_if" mtu "$mtu" netns "$ns" 2>/dev/null; then
    do_down
    skip "cannot make a veth pair"
  fi
  if ! { ip addr add "$host_addr/24" dev "$host_if" &&
    ip link set "$host_if" up &&
    in_ns ip link set lo up &&
    in_ns ip addr add "$cam_addr/24" dev "$cam_if" &&
    in_ns ip link set "$cam_if" up; }; then
    do_down
    die "cannot configure the veth pair"
  fi
  # A multicast group sent from the camera side leaves by the veth.
  in_ns ip route add 224.0.0.0/4 dev "$cam_if" 2>/dev/null

  if [[ -n $rate ]]; then
    local b=${burst:-$((mtu * 4 > 32768 ? mtu * 4 : 32768))}
    local l=${limit:-$((b * 2))}
    in_ns tc qdisc add dev "$cam_if" root tbf rate "$rate" burst "$b" limit "$l" ||
      { do_down; die "cannot add the shaper (rate $rate)"; }
  fi
  if [[ -n $drop_ppm ]]; then
    local obj
    obj=$(build_dropper) || { local rc=$?; do_down; exit "$rc"; }
    if ! in_ns tc qdisc add dev "$cam_if" clsact 2>/dev/null ||
      ! in_ns tc filter add dev "$cam_if" egress bpf da obj "$obj" sec tc 2>/dev/null; then
      do_down
      skip "cannot attach the BPF dropper with tc (cls_bpf)"
    fi
  fi

  # The pair answers only once both ends have settled (IPv6 DAD aside, IPv4
  # needs the carrier up on both ends).
  for _ in $(seq 50); do
    ip link show "$host_if" | grep -q 'LOWER_UP' && break
    sleep 0.1
  done

  if [[ $camera -eq 1 || -n $strobix ]]; then
    local log=$state_root/$name.camera.log
    if [[ -n $strobix ]]; then
      # shellcheck disable=SC2086 # the arguments are meant to be split
      ip netns exec "$ns" "$strobix" --camera -l "$cam_addr" $strobix_args </dev/null >"$log" 2>&1 9>&- &
    else
      ip netns exec "$ns" arv-fake-gv-camera-0.8 -i "$cam_if" </dev/null >"$log" 2>&1 9>&- &
    fi
    local pid=$!
    echo "TESTNET_CAMERA_PID=$pid" >>"$state"
    # Ready once its control port (3956) is bound on the camera's address.
    local ready=0
    for _ in $(seq 100); do
      if in_ns ss -Hlun "sport = :3956" | grep -q .; then
        ready=1
        break
      fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    if [[ $ready -ne 1 ]]; then
      local said
      said=$(head -3 "$log" 2>/dev/null)
      do_down
      die "the camera did not start: $said"
    fi
    echo "TESTNET_CAMERA_LOG=$log" >>"$state"
  fi
  grep -v '^TESTNET_CAMERA_PID=\|^TESTNET_SUBNET=' "$state"
}

do_exec() {
  need_root
  [[ $# -gt 0 ]] || die "exec needs a command after --"
  ns_exists || die "no test network named $name"
  exec ip netns exec "$ns" "$@"
}

# The dropper's two counters, as "DROP_SEEN=n" and "DROP_DROPPED=n".
do_drops() {
  local cam_if prog
  need_root
  [[ -f $state ]] || die "no test network named $name"
  command -v bpftool >/dev/null || die "drops needs bpftool"
  cam_if=$(sed -n 's/^TESTNET_CAM_IF=//p' "$state")
  prog=$(in_ns tc filter show dev "$cam_if" egress | sed -n 's/.* id \([0-9]*\) .*/\1/p' | head -1)
  [[ -n $prog ]] || die "no dropper on $cam_if"
  bpftool -j prog show id "$prog" | python3 -c '
import json, subprocess, sys
for m in json.load(sys.stdin).get("map_ids", []):
    dump = json.loads(subprocess.check_output(["bpftool", "-j", "map", "dump", "id", str(m)]))
    for var in dump[0].get("formatted", {}).get("value", {}).get(".bss", []):
        for key, value in var.items():
            print("DROP_%s=%d" % (key.replace("datagrams_", "").upper(), value))
'
}

case $command in
up) do_up ;;
down)
  need_root
  lock
  do_down
  ;;
exec) do_exec "$@" ;;
drops) do_drops ;;
*) die "usage: testnet.sh up|down|exec|drops [--name NAME] ..." ;;
esac
