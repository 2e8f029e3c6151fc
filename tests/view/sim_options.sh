#!/bin/sh
# rv270-sim's command line: a bad option is named and refused with 2; --help prints the
# usage and exits 0.
# usage: tests/view/sim_options.sh RV270_SIM_PROGRAM
sim=$1
fail() { echo "rv270-sim options: $*" >&2; exit 1; }
check_refused() {  # expected message, then the arguments
  want=$1; shift
  err=$("$sim" "$@" 2>&1 >/dev/null); rc=$?
  [ "$rc" -eq 2 ] || fail "$* exits $rc, not 2"
  printf '%s\n' "$err" | grep -qF "$want" || fail "$* says '$err', not '$want'"
}
check_refused "rv270-sim: unknown option '--bogus'" --bogus
check_refused "rv270-sim: option '--port' needs a value" --port
check_refused "rv270-sim: bad value '99999' for option '--port'" --port 99999
check_refused "rv270-sim: bad value 'robot' for option '--customer'" --customer robot
check_refused "rv270-sim: --customer browser needs --http PORT" --customer browser
out=$("$sim" --help) || fail "--help exits $?"
printf '%s\n' "$out" | head -n 1 | grep -q '^usage: rv270-sim' || fail "--help does not print the usage"
printf '%s\n' "$out" | grep -q -- '--customer scripted|browser' || fail "--help does not list --customer"
echo "rv270-sim options: ok"
