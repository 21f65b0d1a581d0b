#!/usr/bin/env bash
# Builds the Debian package from a finished build tree, unpacks it into a
# scratch root with dpkg -x and checks, from the unpacked files only: the
# package's contents and fields, each program's usage path, the library found
# through the programs' RUNPATH, adapter names kept under ZOK_STATE_DIR, the
# loopback demo (strobix -c feeding plaingrab --verify-payload), the manual
# pages rendered by man without warnings, and another project building against
# the library through find_package and through pkg-config. A second,
# non-package install (cmake --install --prefix) must serve find_package too.
#
# Usage: package_test.sh <build dir> <this directory>
# Environment (set by ctest): CMAKE_COMMAND CPACK_COMMAND CMAKE_GENERATOR
# CMAKE_MAKE_PROGRAM CC. KEEP_SCRATCH=1 keeps the scratch directory.
set -uo pipefail

build=$(cd "$1" && pwd)
here=$(cd "$2" && pwd)
cmake=${CMAKE_COMMAND:-cmake}
cpack=${CPACK_COMMAND:-cpack}
generator=${CMAKE_GENERATOR:-Ninja}
cc=${CC:-cc}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/zok-package.XXXXXX")
receiver=
cleanup() {
  if [ -n "$receiver" ]; then kill "$receiver" 2>/dev/null; fi
  if [ "${KEEP_SCRATCH:-0}" = 1 ]; then echo "scratch kept: $scratch"; else rm -rf "$scratch"; fi
}
trap cleanup EXIT

source "$here/../lib/scenario.bash"
fatal() {
  echo "FAIL: $*"
  exit 1
}

# The programs must find libzok through their own RUNPATH, never through an
# inherited search path (ctest may set one for the library double).
unset LD_LIBRARY_PATH LD_PRELOAD

# --- The package -------------------------------------------------------------

"$cpack" --config "$build/CPackConfig.cmake" -B "$scratch/pkg" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fatal "cpack could not build the package"; }
debs=("$scratch"/pkg/*.deb)
[ -f "${debs[0]}" ] || fatal "cpack made no .deb"
deb=${debs[0]}
pass "built $(basename "$deb")"

dpkg-deb --field "$deb" Package Version Architecture Depends >"$scratch/fields"
grep -qx 'Package: zok-tools' "$scratch/fields" || fail "package name: $(cat "$scratch/fields")"
grep -q '^Depends:.*libc6' "$scratch/fields" || fail "Depends names no libc6: $(cat "$scratch/fields")"
grep -q '^Depends:.*libstdc++6' "$scratch/fields" || fail "Depends names no libstdc++6"
dpkg-deb --ctrl-tarfile "$deb" | tar -t >"$scratch/control-files"
grep -q 'triggers\|postinst' "$scratch/control-files" ||
  fail "no ldconfig trigger or postinst for the shared library"

root=$scratch/root
mkdir -p "$root"
dpkg -x "$deb" "$root" || fatal "dpkg -x failed"
usr=$root/usr
libdir=$(dirname "$(find "$usr" -name 'libzok.so.0' | head -n 1)")
[ -d "$libdir" ] || fatal "no libzok.so.0 in the package"

for f in bin/plaingrab bin/workergrab bin/niclabel bin/strobix bin/camctl include/zok/zok.h; do
  [ -e "$usr/$f" ] || fail "missing /usr/$f"
done
for f in libzok.so libzok.so.0 pkgconfig/zok.pc cmake/zok/zokConfig.cmake \
  cmake/zok/zokConfigVersion.cmake cmake/zok/zokTargets.cmake; do
  [ -e "$libdir/$f" ] || fail "missing ${libdir#"$root"}/$f"
done
# The soname link and the development link both lead to the one real file.
real=$(readlink -f "$libdir/libzok.so.0")
[ "$(readlink -f "$libdir/libzok.so")" = "$real" ] || fail "libzok.so and libzok.so.0 differ"
soname=$(readelf -d "$real" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = libzok.so.0 ] || fail "soname is '$soname', not libzok.so.0"
# The interface is zok/zok.h alone: anything else exported (the codec linked
# into the library, say) would become ABI that programs could bind to. The
# standard library's template instances are exported by any C++ library and
# are not ours to hide.
extra=$(nm -D --defined-only "$real" |
  awk '$3 !~ /^zok_/ && $3 !~ /^_Z(T[ISV]|GV)?Z?N?K?(St|9__gnu_cxx)/ { print $3 }')
[ -z "$extra" ] || fail "libzok exports symbols outside its interface: $(head -n 5 <<<"$extra" | tr '\n' ' ')"
pass "package contents"

# --- The programs, run from the unpacked root --------------------------------

bin=$usr/bin
for program in plaingrab workergrab niclabel; do
  [ -x "$bin/$program" ] || continue
  where=$(ldd "$bin/$program" | awk '$1 == "libzok.so.0" { print $3 }')
  [ "$(readlink -f "$where")" = "$real" ] ||
    fail "$program loads libzok from '$where', not from the package"
done

# usage_path <name> <expected status> <args...>: the usage text on standard
# error, nothing on standard output.
usage_path() {
  local name=$1 expected=$2
  shift 2
  "$bin/$name" "$@" >"$scratch/out" 2>"$scratch/err"
  local status=$?
  if [ "$status" != "$expected" ]; then
    fail "$name $*: exit status $status, expected $expected"
  elif ! grep -q "$name \\[args\\]" "$scratch/err"; then
    fail "$name $*: no usage text on standard error"
  elif [ -s "$scratch/out" ]; then
    fail "$name $*: wrote to standard output: $(head -n 3 "$scratch/out")"
  else
    pass "$name${*:+ $*} prints its usage and exits $expected"
  fi
}
usage_path plaingrab 255
usage_path workergrab 255
usage_path niclabel 1 -h
usage_path strobix 255

# Adapter names go to ZOK_STATE_DIR and come back through the installed
# library; loopback is an adapter with hardware address 0.
state=$scratch/state
out=$(ZOK_STATE_DIR=$state "$bin/niclabel" -s camera-net M=00:00:00:00:00:00 2>&1)
status=$?
if [ "$status" = 0 ] && [ "$out" = "M=00:00:00:00:00:00: camera-net" ] && [ -s "$state/names" ]; then
  pass "niclabel keeps a name under ZOK_STATE_DIR"
else
  fail "niclabel -s: status $status, output '$out'"
fi

# --- The loopback demo from the installed files ------------------------------

blocks=20
read -r stream_port resend_port < <(PYTHONPATH="$here/../lib" python3 -c '
import zoktest
print(*zoktest.free_udp_ports(2))')
# Line-buffered, so that "Queued" shows when the buffers are ready: blocks
# sent before that find no buffer and are lost.
stdbuf -oL "$bin/plaingrab" -i "$blocks" -n 16 -T 30 --verify-payload \
  -P "127.0.0.1:$resend_port" "127.0.0.1:$stream_port" >"$scratch/demo.out" 2>"$scratch/demo.err" &
receiver=$!
for _ in $(seq 400); do
  grep -q '^Queued ' "$scratch/demo.out" && break
  kill -0 "$receiver" 2>/dev/null || break
  sleep 0.05
done
"$bin/strobix" -c -n "$blocks" -r 200 -l "127.0.0.1:$resend_port" "127.0.0.1:$stream_port" \
  >"$scratch/strobix.out" 2>&1
sender_status=$?
wait "$receiver"
receiver_status=$?
receiver=
if [ "$sender_status" = 0 ] && [ "$receiver_status" = 0 ] &&
  grep -qx "Blocks received:        $blocks" "$scratch/demo.out" &&
  grep -qx "Blocks Complete:        $blocks" "$scratch/demo.out" &&
  ! grep -q 'Failed to verify block' "$scratch/demo.out"; then
  pass "loopback demo: $blocks blocks sent by strobix, received and verified by plaingrab"
else
  fail "loopback demo: strobix status $sender_status, plaingrab status $receiver_status"
  sed 's/^/  plaingrab: /' "$scratch/demo.out" "$scratch/demo.err"
  sed 's/^/  strobix: /' "$scratch/strobix.out"
fi

# --- The manual pages ------------------------------------------------------

mandir=$usr/share/man
for page in man1/plaingrab.1 man1/workergrab.1 man1/niclabel.1 man1/strobix.1 man1/camctl.1 man3/libzok.3; do
  file=$mandir/$page.gz
  if [ ! -f "$file" ]; then
    fail "missing manual page /usr/share/man/$page.gz"
    continue
  fi
  warnings=$(MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)
  rendered=$(MANWIDTH=80 man -l "$file" 2>/dev/null)
  if [ -n "$warnings" ]; then
    fail "man -l $page warns:"
    echo "$warnings" | head -n 10
  elif ! grep -q '^NAME' <<<"$rendered" || ! grep -q '^SYNOPSIS' <<<"$rendered"; then
    fail "man -l $page renders no NAME or SYNOPSIS"
  else
    pass "man -l $page renders without warnings"
  fi
done
# man 3 zok is the library page by another name.
if MANPATH=$mandir MANWIDTH=80 man 3 zok 2>/dev/null | grep -q '^NAME'; then
  pass "man 3 zok finds the library page"
else
  fail "man 3 zok finds no page"
fi

# --- Another project builds against the library ------------------------------

run_consumer() {  # run_consumer <what> <binary>
  local output
  if output=$(LD_LIBRARY_PATH=$libdir "$2" 2>&1) && [ -n "$output" ]; then
    pass "$1: $output"
  else
    fail "$1: the consumer did not run: $output"
  fi
}

# build_with_cmake <what> <prefix> <build dir>
build_with_cmake() {
  if "$cmake" -S "$here/consumer" -B "$3" -G "$generator" \
    ${CMAKE_MAKE_PROGRAM:+-DCMAKE_MAKE_PROGRAM="$CMAKE_MAKE_PROGRAM"} \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$2" >"$3.log" 2>&1 &&
    "$cmake" --build "$3" >>"$3.log" 2>&1; then
    return 0
  fi
  fail "$1: the consumer does not build"
  sed 's/^/  /' "$3.log" | tail -n 20
  return 1
}

if build_with_cmake "find_package(zok) in the package" "$usr" "$scratch/consumer-cmake"; then
  run_consumer "find_package(zok) in the package" "$scratch/consumer-cmake/consumer"
fi

if command -v pkg-config >/dev/null; then
  flags=$(PKG_CONFIG_PATH=$libdir/pkgconfig PKG_CONFIG_LIBDIR=$libdir/pkgconfig \
    pkg-config --cflags --libs zok 2>&1)
  # shellcheck disable=SC2086 # the flags are words
  if [ $? = 0 ] && "$cc" -o "$scratch/consumer-pc" "$here/consumer/consumer.c" $flags \
    >"$scratch/pc.log" 2>&1; then
    run_consumer "pkg-config zok in the package" "$scratch/consumer-pc"
  else
    fail "pkg-config zok: the consumer does not build with '$flags'"
    cat "$scratch/pc.log" 2>/dev/null
  fi
elif [ "${CI:-}" = true ]; then
  # CI installs what the tests need, so a missing tool there is a fault.
  fail "pkg-config is not installed (apt-get install pkgconf)"
else
  echo "SKIPPED: pkg-config consumer (pkg-config is not installed: apt-get install pkgconf)"
fi

# A plain install under a prefix of the user's choice, where the library
# directory is not the package's.
prefix=$scratch/prefix
if "$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
  libdir=$(dirname "$(find "$prefix" -name 'libzok.so.0' | head -n 1)")
  if build_with_cmake "find_package(zok) under --prefix" "$prefix" "$scratch/consumer-prefix"; then
    run_consumer "find_package(zok) under --prefix" "$scratch/consumer-prefix/consumer"
  fi
  "$prefix/bin/plaingrab" >/dev/null 2>&1
  status=$?
  [ "$status" = 255 ] || fail "plaingrab under --prefix: exit status $status, expected 255"
else
  fail "cmake --install --prefix failed"
  tail -n 20 "$scratch/install.log"
fi

echo
finish "all package checks passed"
