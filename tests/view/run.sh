#!/usr/bin/env bash
# The simulator's screen view in a real browser: rv270-sim --http serves the page while a
# teller workflow runs against it (through the Python binding); headless Chromium loads
# the page during a signing and a PIN entry, and the test checks what the page shows.
# One screenshot is kept: BUILD_DIR/screen-view.png.
#
# usage: tests/view/run.sh BUILD_DIR
#   BUILD_DIR  a built Linux build folder (rv270-sim and the library)
# Needs Debian's chromium (apt-get install chromium) and python3.
set -uo pipefail

[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
BUILD=$(cd "$1" && pwd) || exit 2

CHROMIUM=${CHROMIUM:-$(command -v chromium || command -v chromium-browser || true)}
[ -n "$CHROMIUM" ] || { echo "screen view test: no chromium (apt-get install chromium)" >&2; exit 1; }
LIBRARY=$(find "$BUILD" -maxdepth 1 -name 'libQornRV270API.so.1' -print -quit)
[ -n "$LIBRARY" ] || { echo "screen view test: no libQornRV270API.so.1 in $BUILD" >&2; exit 1; }
[ -x "$BUILD/sim/rv270-sim" ] || { echo "screen view test: no $BUILD/sim/rv270-sim" >&2; exit 1; }

WORK=$BUILD/screen-view
rm -rf "$WORK" && mkdir -p "$WORK"
export CHROMIUM VIEW_WORK=$WORK VIEW_SCREENSHOT=$BUILD/screen-view.png
export RV270_SIM_PROGRAM=$BUILD/sim/rv270-sim QORNRV270_LIBRARY=$LIBRARY
export PYTHONPATH=$REPO/python${PYTHONPATH:+:$PYTHONPATH}
rm -f "$VIEW_SCREENSHOT"
echo "chromium: $("$CHROMIUM" --version 2>/dev/null)"
start=$(date +%s)
/usr/bin/python3 "$HERE/browser_test.py"
status=$?
echo "screen view test: $([ $status -eq 0 ] && echo passed || echo FAILED) in $(($(date +%s) - start)) s"
[ -f "$VIEW_SCREENSHOT" ] && echo "screenshot: $VIEW_SCREENSHOT"
exit $status
