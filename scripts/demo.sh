#!/usr/bin/env bash
# Runs the teller demo program (examples/teller_demo) against the terminal simulator:
# builds the native targets when needed, starts rv270-sim in the background, points the
# library at it (RV270_SIM for the USB side, RV270_COM7 for serial port 7), runs the
# demo and stops the simulator again. Missing Debian packages of the build are installed
# with apt-get first (as root, or through sudo without a password).
#
# usage: scripts/demo.sh [--device] [--no-install] [-- demo arguments...]
#   --device      run the demo against a real terminal: no simulator, RV270_SIM unset
#   --no-install  do not install packages, even when some are missing
#   demo arguments go to teller_demo (for example: -- --usb-only, -- --serial 3)
#
# Environment: RV270_BUILD_ROOT (build folders, default build/), RV270_JOBS (default 2).
set -uo pipefail

# shellcheck source=scripts/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

DEVICE=0
INSTALL=1
DEMO_ARGS=()
while [ $# -gt 0 ]; do
  case "$1" in
    --device) DEVICE=1 ;;
    --no-install) INSTALL=0 ;;
    --) shift; DEMO_ARGS=("$@"); break ;;
    -h | --help)
      sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'
      exit 0
      ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done

mapfile -t missing < <(missing_packages "${BASE_PACKAGES[@]}")
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$INSTALL" -eq 0 ]; then
    warn "missing packages (--no-install): ${missing[*]}"
  else
    note "installing ${missing[*]}"
    why=$(apt_install "${missing[@]}") || {
      warn "$why"
      exit 1
    }
  fi
fi

DIR=$(build_dir linux)
DEMO=$DIR/examples/teller_demo
SIM=$DIR/sim/rv270-sim

# Configure once; the build itself is incremental, so an up-to-date tree costs a second.
if [ ! -f "$DIR/build.ninja" ]; then
  note "configuring $DIR"
  mkdir -p "$DIR"
  configure_preset linux >"$DIR/demo-configure.log" 2>&1 || {
    cat "$DIR/demo-configure.log" >&2
    exit 1
  }
fi
wanted=(teller_demo)
[ "$DEVICE" -eq 1 ] || wanted+=(rv270-sim)
mapfile -t targets < <(existing_targets "$DIR" "${wanted[@]}")
if ! printf '%s\n' "${targets[@]}" | grep -qx teller_demo; then
  echo "The teller demo program is not part of this tree yet (examples/teller_demo.cpp): nothing to run."
  exit 0
fi
if [ "$DEVICE" -eq 0 ] && ! printf '%s\n' "${targets[@]}" | grep -qx rv270-sim; then
  echo "The simulator program rv270-sim is not part of this tree yet: use --device for a real terminal."
  exit 0
fi
note "building ${targets[*]}"
build_targets "$DIR" "${targets[@]}" || {
  warn "build failed"
  exit 1
}

if [ "$DEVICE" -eq 1 ]; then
  note "teller demo against the terminal on this machine"
  unset RV270_SIM
  exec "$DEMO" "${DEMO_ARGS[@]}"
fi

# shellcheck source=scripts/with-sim.sh
. "$RV270_REPO/scripts/with-sim.sh"
trap sim_stop EXIT
trap 'exit 130' INT TERM
sim_start "$SIM" "$DIR/rv270-sim.log" || exit 1
if [ -z "${RV270_COM7:-}" ] && [ ${#DEMO_ARGS[@]} -eq 0 ]; then
  echo "the simulator serves no serial port here: USB only"
  DEMO_ARGS=(--usb-only)
fi

note "teller demo"
"$DEMO" "${DEMO_ARGS[@]}"
rc=$?
note "teller demo finished with exit status $rc; the simulator stops"
exit "$rc"
