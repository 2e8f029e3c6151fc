#!/usr/bin/env bash
# The simulator's screen view in a real browser: rv270-sim --http serves the page while a
# teller workflow runs against it (through the Python binding); headless Chromium loads
# the page during a signing and a PIN entry, and the test checks what the page shows
# (one screenshot: BUILD_DIR/screen-view.png). Then the customer at the page: with
# --customer browser, Chromium driven by WebDriver confirms, signs, types a PIN and a
# password, cancels and rates, and the library's answers are checked (customer_test.py;
# a screenshot of each step: BUILD_DIR/view-<step>.png).
#
# usage: tests/view/run.sh BUILD_DIR
#   BUILD_DIR  a built Linux build folder (rv270-sim and the library)
# Needs Debian's chromium, chromium-driver and python3-selenium, and openssl.
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

# The customer at the page, driven by WebDriver: screenshots BUILD_DIR/view-<step>.png.
CHROMEDRIVER=${CHROMEDRIVER:-$(command -v chromedriver || true)}
if [ -z "$CHROMEDRIVER" ] || ! /usr/bin/python3 -c 'import selenium' 2>/dev/null; then
  echo "customer test: no chromedriver or selenium (apt-get install chromium-driver python3-selenium)" >&2
  exit 1
fi
export CHROMEDRIVER VIEW_SHOTS=$BUILD
rm -f "$BUILD"/view-*.png
start=$(date +%s)
(cd "$HERE" && /usr/bin/python3 customer_test.py)
customer=$?
echo "customer test: $([ $customer -eq 0 ] && echo passed || echo FAILED) in $(($(date +%s) - start)) s"
ls "$BUILD"/view-*.png 2>/dev/null | sed 's/^/screenshot: /'
[ $status -eq 0 ] && exit $customer
exit $status
