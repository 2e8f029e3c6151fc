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
#
# Sourced (as scripts/demo.sh does), it only defines sim_start and sim_stop.

SIM_PID=
SIM_WORK=

# sim_start SIMULATOR LOG [simulator arguments...]: starts the simulator with its output
# in LOG (a temporary file when empty) and exports RV270_SIM, and RV270_COM7 when it
# serves a serial port. Returns non-zero, with the simulator's output on standard error,
# when it did not start.
sim_start() {
  local sim=$1 log=$2
  shift 2
  [ -x "$sim" ] || { echo "no simulator program at $sim" >&2; return 1; }
  SIM_WORK=$(mktemp -d "${TMPDIR:-/tmp}/rv270-with-sim.XXXXXX")
  [ -n "$log" ] || log=$SIM_WORK/sim.log
  local info=$SIM_WORK/info
  "$sim" --info "$info" "$@" >"$log" 2>&1 </dev/null &
  SIM_PID=$!
  # The simulator writes its info file in one write once both sides serve.
  local _
  for _ in $(seq 100); do
    grep -q '^RV270_SIM=' "$info" 2>/dev/null && break
    kill -0 "$SIM_PID" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -q '^RV270_SIM=' "$info" 2>/dev/null; then
    echo "the simulator did not start; its output:" >&2
    cat "$log" >&2
    sim_stop
    return 1
  fi
  RV270_SIM=$(sed -n 's/^RV270_SIM=//p' "$info" | head -n1)
  export RV270_SIM
  local serial
  serial=$(sed -n 's/^SERIAL=//p' "$info" | head -n1)
  if [ -n "$serial" ]; then export RV270_COM7=$serial; fi
  echo "simulator (pid $SIM_PID): USB at $RV270_SIM${serial:+, serial port 7 at $serial}"
}

sim_stop() {
  if [ -n "$SIM_PID" ] && kill -0 "$SIM_PID" 2>/dev/null; then
    kill -TERM "$SIM_PID" 2>/dev/null
    wait "$SIM_PID" 2>/dev/null
  fi
  SIM_PID=
  [ -z "$SIM_WORK" ] || rm -rf "$SIM_WORK"
  SIM_WORK=
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -uo pipefail
  usage() {
    echo "usage: $0 SIMULATOR [--log FILE] [simulator arguments...] -- command..." >&2
    exit 2
  }
  [ $# -ge 3 ] || usage
  sim=$1
  shift
  log=
  if [ "$1" = --log ]; then
    log=$2
    shift 2
  fi
  sim_args=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    sim_args+=("$1")
    shift
  done
  [ $# -ge 2 ] || usage
  shift
  trap sim_stop EXIT
  trap 'exit 130' INT TERM
  sim_start "$sim" "$log" "${sim_args[@]}" || exit 1
  "$@"
fi
