#!/usr/bin/env bash
# The Debian 12 packages the project needs, in one list. scripts/demo.sh asks
# for the build set, scripts/check.sh (and so CI) for the build and test sets.
#
# Usage: scripts/deps.sh check|install|list <set>...   (sets: build, test, bare)
#   check    print the missing packages; status 1 when any are missing
#   install  install the missing packages with apt-get: directly as root,
#            through sudo when it needs no password, otherwise stop with the
#            command to run. Status 0 when everything is installed, 2 when
#            this user cannot install, 3 when the package archive cannot be
#            reached, 1 when apt-get failed otherwise.
#   list     print the packages of the sets
set -euo pipefail

# One package a line, so that adding one is a one-line change.
build_packages=(
  cmake
  ninja-build
  g++
  iproute2 # ss: demo.sh waits for the receiver's socket
  libpugixml-dev # camctl reads the camera's device description
  libzip-dev     # ... which cameras often serve zipped
  pkgconf        # finds libzip
  libpng-dev     # camctl snap writes PNG files
)
test_packages=(
  clang
  libclang-rt-14-dev # the sanitizer runtimes
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  python3
  procps
  tshark
  gnuplot-nox
  scdoc
  man-db
  groff-base
  dpkg-dev
  file
  libbpf-dev # the test network's seeded packet dropper (tc cls_bpf); libzok's AF_XDP path
  bpftool    # reads the dropper's counters
  ethtool    # the veth's own AF_XDP redirect counts (tests/net xdpnarrow)
  aravis-tools # the simulated camera the camera tests drive
  aravis-tools-cli  # arv-tool and arv-camera-test drive strobix's camera
  gir1.2-aravis-0.8 # ... and Aravis's Python API (multicast)
  python3-gi
)
# tests/bare/run.sh, which CI runs after check.sh.
bare_packages=(
  debootstrap
)

me=scripts/deps.sh

usage() {
  echo "usage: $me check|install|list build|test|bare..." >&2
  exit 64
}

packages=()
select_sets() {
  [ $# -gt 0 ] || usage
  local set
  for set in "$@"; do
    case $set in
      build) packages+=("${build_packages[@]}") ;;
      test) packages+=("${test_packages[@]}") ;;
      bare) packages+=("${bare_packages[@]}") ;;
      *) usage ;;
    esac
  done
}

# Reads only dpkg's database, so a machine that has everything never waits for
# the package manager, its lock or the network.
missing=()
find_missing() {
  local installed
  installed=$(dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "${packages[@]}" 2>/dev/null |
    awk '$2 == "ii" { print $1 }' || true)
  local p
  for p in "${packages[@]}"; do
    grep -qx -- "$p" <<<"$installed" || missing+=("$p")
  done
}

# apt-get update reports an archive it cannot reach as warnings and may still
# exit 0; the install then fails with a failed fetch or "Unable to locate
# package", which would read like a wrong package name.
fetch_failure() {
  local why
  why=$(sed -n 's/^[WE]: \(Failed to fetch .*\)/\1/p' "$@" | head -n 1)
  [ -n "$why" ] || why=$(grep -hoE "(Temporary failure resolving|Could not (resolve|connect)|Unable to connect|Connection (failed|timed out)|Network is unreachable).*" "$@" | head -n 1)
  printf '%s' "$why"
}

give_up() {  # give_up <status> <message>
  echo "$me: $2" >&2
  exit "$1"
}

install_missing() {
  find_missing
  [ ${#missing[@]} -gt 0 ] || return 0
  local command="apt-get install -y --no-install-recommends ${missing[*]}"
  local as=(env)
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
      as=(sudo -n)
    else
      give_up 2 "missing packages; install them as root, then run this again: apt-get update && $command"
    fi
  fi
  echo "$me: installing ${missing[*]} with apt-get" >&2
  local work why
  work=$(mktemp -d "${TMPDIR:-/tmp}/zok-deps.XXXXXX")
  # shellcheck disable=SC2064 # the directory is fixed now
  trap "rm -rf '$work'" EXIT
  # No questions (tshark's package asks one), and a fresh machine's automatic
  # upgrades may hold the lock for a while when this runs first.
  local apt=("${as[@]}" DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=300)
  if ! "${apt[@]}" update >"$work/update" 2>&1; then
    why=$(fetch_failure "$work/update")
    [ -z "$why" ] || give_up 3 "the package archive cannot be reached ($why); still missing: ${missing[*]}"
    cat "$work/update" >&2
    give_up 1 "apt-get update failed (above)"
  fi
  if ! "${apt[@]}" install -y --no-install-recommends "${missing[@]}" >"$work/install" 2>&1; then
    why=$(fetch_failure "$work/install")
    if [ -z "$why" ] && grep -qE 'Unable to locate package|has no installation candidate' "$work/install"; then
      why=$(fetch_failure "$work/update")
    fi
    [ -z "$why" ] || give_up 3 "the package archive cannot be reached ($why); still missing: ${missing[*]}"
    tail -n 20 "$work/install" >&2
    give_up 1 "apt-get failed (above): $command"
  fi
  missing=()
  find_missing
  [ ${#missing[@]} -eq 0 ] || give_up 1 "apt-get finished but these are still not installed: ${missing[*]}"
  echo "$me: installed" >&2
}

[ $# -ge 1 ] || usage
command -v dpkg-query >/dev/null || give_up 1 "needs Debian's dpkg-query; install these by hand: ${build_packages[*]} ${test_packages[*]} ${bare_packages[*]}"
mode=$1
shift
select_sets "$@"
case $mode in
  list) printf '%s\n' "${packages[@]}" ;;
  check)
    find_missing
    if [ ${#missing[@]} -gt 0 ]; then
      echo "${missing[*]}"
      exit 1
    fi
    ;;
  install) install_missing ;;
  *) usage ;;
esac
