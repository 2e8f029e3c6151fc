#!/usr/bin/env bash
# Consumer test of an installed tree: installs a build folder into a fresh prefix, builds
# tests/consumer/consumer.c against it twice (the CMake package, and pkg-config) and runs
# both programs against the installed simulator.
#
# usage: tests/consumer/run.sh BUILD_DIR [WORK_DIR]
#   BUILD_DIR  a configured and built Linux build folder (library, rv270-sim and rv270)
#   WORK_DIR   where the prefix and the consumer builds go (default BUILD_DIR/consumer)
set -uo pipefail

[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [WORK_DIR]" >&2; exit 2; }
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(cd "$HERE/../.." && pwd)
BUILD=$(cd "$1" && pwd)
WORK=${2:-$BUILD/consumer}
PREFIX=$WORK/prefix

step() { printf '\n-- %s\n' "$*"; }
fail() { echo "consumer test: $*" >&2; exit 1; }

rm -rf "$WORK"
mkdir -p "$WORK"

step "cmake --install $BUILD --prefix $PREFIX"
cmake --install "$BUILD" --prefix "$PREFIX" >"$WORK/install.log" || { cat "$WORK/install.log"; fail "install failed"; }
LIBDIR=$(dirname "$(find "$PREFIX" -name 'libQornRV270API.so.*' -type f -print -quit)")
[ -d "$LIBDIR" ] && [ "$LIBDIR" != . ] || fail "no libQornRV270API.so.* installed"
for f in include/QornRV270API.h bin/rv270-sim bin/rv270; do
  [ -e "$PREFIX/$f" ] || fail "$f is not installed"
done
(cd "$LIBDIR" && ls -l libQornRV270API.so*)

step "through the CMake package: find_package(QornRV270API)"
cmake -S "$HERE" -B "$WORK/cmake-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$PREFIX" >"$WORK/cmake-configure.log" ||
  { cat "$WORK/cmake-configure.log"; fail "configuring the consumer failed"; }
cmake --build "$WORK/cmake-build" || fail "building the consumer with the CMake package failed"

step "through pkg-config: pkg-config --cflags --libs QornRV270API"
PC_DIR=$(dirname "$(find "$PREFIX" -name QornRV270API.pc -print -quit)")
FLAGS=$(PKG_CONFIG_LIBDIR=$PC_DIR pkg-config --cflags --libs QornRV270API) || fail "pkg-config does not know QornRV270API"
PC_LIBDIR=$(cd "$(PKG_CONFIG_LIBDIR=$PC_DIR pkg-config --variable=libdir QornRV270API)" && pwd) ||
  fail "the pkg-config libdir does not exist"
echo "$FLAGS"
# shellcheck disable=SC2086
cc -std=c99 -Wall -Wextra -Werror "$HERE/consumer.c" $FLAGS -Wl,-rpath,"$PC_LIBDIR" \
  -o "$WORK/consumer-pkgconfig" || fail "building the consumer with pkg-config failed"

# A port whose device does not exist, for the failure check.
export RV270_COM9=$WORK/no-such-port
status=0
for program in "$WORK/cmake-build/consumer" "$WORK/consumer-pkgconfig"; do
  step "$program against the installed simulator"
  loads=$(ldd "$program" | grep QornRV270API)
  echo "$loads"
  [[ $loads == *"=> $LIBDIR/libQornRV270API.so"* ]] || { echo "does not load the installed library"; status=1; }
  "$REPO/scripts/with-sim.sh" "$PREFIX/bin/rv270-sim" -- "$program" "$LIBDIR" || status=1
done

step "the installed rv270 against the installed simulator"
"$REPO/scripts/with-sim.sh" "$PREFIX/bin/rv270-sim" -- "$PREFIX/bin/rv270" --json status | tee "$WORK/rv270.log"
grep -q '"ready":true' "$WORK/rv270.log" || { echo "rv270 status did not read ready"; status=1; }
exit $status
