#!/usr/bin/env bash
# Runs the Windows HID tests (rv270_winhid_tests.exe of a win32 or win64 build) under
# Wine's HID class stack against emulated terminals at the Linux hidraw interface:
#
#   tests/winhid/run.sh WINDOWS_BUILD_DIR HIDRAW_TERMINAL [TEST ARGUMENTS...]
#
# HIDRAW_TERMINAL is rv270-hidraw-terminal of a Linux build (tests/devstack). The Wine
# prefix is $WINEPREFIX (made already), the loader $WINE (default: wine). The prefix's HID
# bus driver gets its udev bus for the run (the SDL bus off, which otherwise takes its
# place; set back afterwards), and Wine's server is stopped before and after, so that its
# driver process starts inside the test bed and no later program meets it.
set -uo pipefail
[ $# -ge 2 ] || { echo "usage: $0 WINDOWS_BUILD_DIR HIDRAW_TERMINAL [TEST ARGUMENTS...]" >&2; exit 2; }
dir=$1 terminal=$2
shift 2
WINE=${WINE:-wine}
exe=$dir/tests/winhid/rv270_winhid_tests.exe
for f in "$exe" "$dir/QornRV270API.dll" "$terminal"; do
  [ -e "$f" ] || { echo "missing: $f" >&2; exit 2; }
done
[ -n "${WINEPREFIX:-}" ] || { echo "WINEPREFIX is not set" >&2; exit 2; }
cp -f "$dir/QornRV270API.dll" "$(dirname "$exe")/"

wineserver -k 2>/dev/null
"$WINE" reg add 'HKLM\System\CurrentControlSet\Services\winebus' /v 'Enable SDL' /t REG_DWORD /d 0 /f >/dev/null || exit 1
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
"$terminal" -- "$WINE" "$exe" "$@"
rc=$?
wineserver -k 2>/dev/null
"$WINE" reg delete 'HKLM\System\CurrentControlSet\Services\winebus' /v 'Enable SDL' /f >/dev/null 2>&1
wineserver -k 2>/dev/null
exit $rc
