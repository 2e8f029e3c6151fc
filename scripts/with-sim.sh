#!/usr/bin/env bash
# Runs one command against a terminal simulator started for it: starts rv270-sim in the
# background, exports RV270_SIM (the USB side) and RV270_COM7 (serial port 7, when the
# simulator serves one), runs the command, stops the simulator and exits with the
# command's status.
#
# usage: scripts/with-sim.sh SIMULATOR [--log FILE] [simulator arguments...] -- command [arguments...]
#   SIMULATOR   the rv270-sim program (from a build folder or an installed tree)
#   --log FILE  where the simulator's output goes (default: a temporary file); with the
#               simulator argument --verbose it lists the requests received
set -uo pipefail

usage() {
  echo "usage: $0 SIMULATOR [--log FILE] [simulator arguments...] -- command..." >&2
  exit 2
}
[ $# -ge 3 ] || usage
SIM=$1
shift
SIM_LOG=
if [ "$1" = --log ]; then
  SIM_LOG=$2
  shift 2
fi
SIM_ARGS=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  SIM_ARGS+=("$1")
  shift
done
[ $# -ge 2 ] || usage
shift
[ -x "$SIM" ] || { echo "no simulator program at $SIM" >&2; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/rv270-with-sim.XXXXXX")
[ -n "$SIM_LOG" ] || SIM_LOG=$WORK/sim.log
INFO=$WORK/info
"$SIM" --info "$INFO" "${SIM_ARGS[@]}" >"$SIM_LOG" 2>&1 </dev/null &
SIM_PID=$!
stop_sim() {
  if kill -0 "$SIM_PID" 2>/dev/null; then
    kill -TERM "$SIM_PID" 2>/dev/null
    wait "$SIM_PID" 2>/dev/null
  fi
  rm -rf "$WORK"
}
trap stop_sim EXIT
trap 'exit 130' INT TERM

# The simulator writes its info file in one write once both sides serve.
for _ in $(seq 100); do
  grep -q '^RV270_SIM=' "$INFO" 2>/dev/null && break
  kill -0 "$SIM_PID" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q '^RV270_SIM=' "$INFO" 2>/dev/null; then
  echo "the simulator did not start; its output:" >&2
  cat "$SIM_LOG" >&2
  exit 1
fi
RV270_SIM=$(sed -n 's/^RV270_SIM=//p' "$INFO" | head -n1)
export RV270_SIM
SERIAL=$(sed -n 's/^SERIAL=//p' "$INFO" | head -n1)
if [ -n "$SERIAL" ]; then export RV270_COM7=$SERIAL; fi
echo "simulator: USB at $RV270_SIM${SERIAL:+, serial port 7 at $SERIAL}"

"$@"
