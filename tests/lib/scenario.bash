# What the shell scenarios share: failed checks counted and shown, and a
# test network of scripts/testnet.sh whose absence skips (status 77).
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

# finish VERDICT: the last line, and status 1 if any check failed.
finish() {
  [[ $failures -eq 0 ]] || { echo "FAIL: $failures check(s) failed"; exit 1; }
  echo "$*"
}

expect_in() {  # expect_in FILE TEXT WHAT
  grep -qF -- "$2" "$1" || { fail "$3: no \"$2\" in:"; sed 's/^/    /' "$1"; }
}

# network_up TESTNET ARGS...: testnet.sh up ARGS; sets its TESTNET_*
# variables, cam and host.
network_up() {
  local up rc
  up=$("$1" up "${@:2}")
  rc=$?
  [[ $rc -eq 77 ]] && { echo "$up"; exit 77; }
  [[ $rc -eq 0 ]] || { echo "FAIL: testnet up: $up"; exit 1; }
  eval "$up"
  cam=$TESTNET_CAM_ADDR
  host=$TESTNET_HOST_ADDR
}
