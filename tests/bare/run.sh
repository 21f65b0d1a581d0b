#!/usr/bin/env bash
# The README's first command on a bare Debian 12 machine: debootstrap makes a
# minimal bookworm root (no cmake, ninja or compiler), the source tree is
# copied in and scripts/demo.sh runs there as root, once as a user who cannot
# install and once with the package archive out of reach before that. It must
# install the build packages, build, and end with plaingrab's report and
# status 0; a second run must not touch the package manager.
#
# Usage: tests/bare/run.sh   (as root; needs debootstrap and the archive)
# Environment: MIRROR (default: the Debian mirror apt uses here),
# KEEP_SCRATCH=1 keeps the root, BARE_LOG=<file> keeps the real run's output.
# Prints SKIPPED and exits 0 when it cannot run here.
set -uo pipefail

src=$(cd "$(dirname "$0")/../.." && pwd)

skip() {
  echo "SKIPPED: bare-machine demo: $*"
  exit 0
}
source "$src/tests/lib/scenario.bash"

[ "$(id -u)" -eq 0 ] || skip "needs root (debootstrap, chroot)"
command -v debootstrap >/dev/null || skip "debootstrap is not installed (apt-get install debootstrap)"
command -v unshare >/dev/null || skip "unshare is not installed (util-linux)"
unshare --mount --propagation private true 2>/dev/null ||
  skip "cannot make a mount namespace here (a container without CAP_SYS_ADMIN?)"

# The bookworm mirror apt already uses here, so the check reaches the archive
# the way this machine does.
host_mirror() {
  {
    sed -n 's/^deb \(\[[^]]*\] \)\?\([^ ]*\) bookworm .*/\2/p' /etc/apt/sources.list 2>/dev/null
    awk '/^URIs:/ { uri = $2 } /^Suites:/ && / bookworm( |$)/ { print uri }' \
      /etc/apt/sources.list.d/*.sources 2>/dev/null
  } | head -n 1
}
mirror=${MIRROR:-$(host_mirror)}
mirror=${mirror:-http://deb.debian.org/debian}

scratch=$(mktemp -d /var/tmp/zok-bare.XXXXXX)
root=$scratch/root
cleanup() {
  if [ "${KEEP_SCRATCH:-0}" = 1 ]; then
    echo "scratch kept: $scratch"
  else
    # Every mount was made in a namespace of its own and is gone with it; the
    # flag still keeps rm on this file system should one have leaked.
    rm -rf --one-file-system "$scratch"
  fi
}
trap cleanup EXIT

/usr/lib/apt/apt-helper download-file "$mirror/dists/bookworm/Release" "$scratch/Release" \
  >"$scratch/probe.log" 2>&1 || skip "the package archive $mirror cannot be reached"

now() { date +%s; }
begun=$(now)
started=$begun
if ! debootstrap --variant=minbase bookworm "$root" "$mirror" >"$scratch/debootstrap.log" 2>&1; then
  tail -n 20 "$scratch/debootstrap.log"
  echo "FAIL: debootstrap could not make the root"
  exit 1
fi
made=$(now)
pass "debootstrap: minimal bookworm root in $((made - started)) s"
cp /etc/resolv.conf "$root/etc/resolv.conf"

for tool in cmake ninja cc c++ gcc g++ clang ss; do
  [ -e "$root/usr/bin/$tool" ] && fail "the bare root already has $tool"
done

# The tree as a user has it: tracked and untracked sources, no build output.
mkdir -p "$root/src/zok"
if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
  git -C "$src" ls-files -z -co --exclude-standard |
    (cd "$src" && xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh) |
    tar -C "$src" --null -T - -cf - | tar -C "$root/src/zok" -xf -
else
  tar -C "$src" --exclude='./build*' -cf - . | tar -C "$root/src/zok" -xf -
fi

# Runs scripts/demo.sh in the root, /proc mounted in a mount namespace of its
# own. Ports of its own keep it clear of demos running on this machine.
stream_port=$((40000 + 2 * (RANDOM % 9000)))
demo() {  # demo <chroot user spec or ""> [more unshare options]
  local user=$1
  shift
  unshare --mount --propagation private "$@" sh -c '
    mount -t proc proc "$1/proc" || exit 1
    exec chroot ${2:+--userspec="$2"} "$1" env HOME=/tmp STREAM_PORT="$3" RESEND_PORT="$4" \
      sh -c "cd /src/zok && scripts/demo.sh"' sh "$root" "$user" "$stream_port" "$((stream_port + 1))"
}

# A user who cannot install is told the exact command at once.
out=$(demo 65534:65534 2>&1)
status=$?
if [ "$status" = 2 ] && [ "$(printf '%s\n' "$out" | wc -l)" = 1 ] &&
  grep -qF "apt-get install -y --no-install-recommends $("$src"/scripts/deps.sh list build | tr '\n' ' ' | sed 's/ $//')" <<<"$out"; then
  pass "unprivileged user: stops with the command to run"
else
  fail "unprivileged user: status $status, output: $out"
fi

# An archive out of reach is reported as such, not as a build error.
out=$(demo "" --net 2>&1)
status=$?
if [ "$status" = 3 ] && grep -q 'package archive cannot be reached' <<<"$out"; then
  pass "no network: reports the archive unreachable"
else
  fail "no network: status $status, output: $out"
fi

log=$scratch/demo.log
started=$(now)
demo "" >"$log" 2>&1
status=$?
took=$(($(now) - started))
tail -n 30 "$log"
[ -z "${BARE_LOG:-}" ] || cp "$log" "$BARE_LOG"
if [ "$status" = 0 ] && grep -q '^Blocks Complete: *[1-9]' "$log" &&
  grep -q '^plaingrab exited with status 0$' "$log"; then
  pass "scripts/demo.sh on the bare root: status 0 with plaingrab's report in $took s"
else
  fail "scripts/demo.sh on the bare root: status $status after $took s"
fi

# Everything is installed now: a second run leaves apt alone.
history=$root/var/log/apt/history.log
before=$(cksum 2>/dev/null <"$history")
out=$(demo "" 2>&1)
status=$?
if [ "$status" = 0 ] && ! grep -q 'deps.sh' <<<"$out" && [ "$(cksum 2>/dev/null <"$history")" = "$before" ]; then
  pass "second run: status 0 without the package manager"
else
  fail "second run: status $status, output: $out"
fi

finish "all bare-machine checks passed in $(($(now) - begun)) s"
