#!/usr/bin/env bash
# Checks a built library against the export lists in res/:
#   res/exports.tsv      every export of the interface: name, argument count
#   res/implemented.txt  the exports this build provides, one name a line
#
# usage: scripts/check-exports.sh <build dir> <linux|win32|win64>
#
#   linux  libQornRV270API.so: its dynamic symbol table holds exactly the implemented
#          names.
#   win32  QornRV270API.dll: its export table holds exactly the implemented names,
#          undecorated; every stdcall name in the import library libQornRV270API.dll.a
#          is _Name@N with N = 4 x the argument count, and so is every name that the
#          public header makes a caller reference; the DLL imports only system DLLs.
#   win64  as win32, without decoration (x86_64 has one calling convention).
#
# Prints one line per check and exits non-zero when any check fails.
set -uo pipefail

usage() {
  echo "usage: $0 <build dir> <linux|win32|win64>" >&2
  exit 2
}
[ $# -eq 2 ] || usage
BUILD_DIR=$1
TARGET=$2
case "$TARGET" in linux | win32 | win64) ;; *) usage ;; esac

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
EXPORTS_TSV=$REPO/res/exports.tsv
IMPLEMENTED=$REPO/res/implemented.txt
HEADER=$REPO/include/QornRV270API.h

WORK=$(mktemp -d "${TMPDIR:-/tmp}/rv270-exports.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

FAILURES=0
pass() { echo "  ok    $*"; }
fail() {
  echo "  FAIL  $*"
  FAILURES=$((FAILURES + 1))
}
die() {
  echo "check-exports ($TARGET): $*" >&2
  exit 1
}

# Shows at most 20 lines of a list, indented, so a long mismatch stays readable.
show() {
  head -n 20 "$1" | sed 's/^/          /'
  local n
  n=$(wc -l <"$1")
  [ "$n" -le 20 ] || echo "          ... ($((n - 20)) more)"
}

# Compares the sorted name list $1 with the sorted list $2; $3 names what $1 is.
same_names() {
  comm -23 "$1" "$2" >"$WORK/extra"
  comm -13 "$1" "$2" >"$WORK/missing"
  if [ ! -s "$WORK/extra" ] && [ ! -s "$WORK/missing" ]; then
    pass "$3: exactly the $(wc -l <"$2") implemented names"
    return
  fi
  if [ -s "$WORK/extra" ]; then
    fail "$3: names that res/implemented.txt does not list:"
    show "$WORK/extra"
  fi
  if [ -s "$WORK/missing" ]; then
    fail "$3: implemented names that are missing:"
    show "$WORK/missing"
  fi
}

# The lists. exports.tsv: "Name<TAB>argc"; implemented.txt: names, '#' comments.
[ -r "$EXPORTS_TSV" ] || die "cannot read $EXPORTS_TSV"
[ -r "$IMPLEMENTED" ] || die "cannot read $IMPLEMENTED"
tr -d '\r' <"$EXPORTS_TSV" | awk -F'\t' 'NF >= 2 && $1 ~ /^[A-Za-z_]/ { print $1 "\t" $2 }' |
  sort -u >"$WORK/tsv"
cut -f1 "$WORK/tsv" >"$WORK/all"
tr -d '\r' <"$IMPLEMENTED" | sed 's/#.*//; s/[[:space:]]//g' | grep -v '^$' | sort -u >"$WORK/impl"

echo "check-exports: $TARGET build in $BUILD_DIR"
[ -d "$BUILD_DIR" ] || die "no build folder $BUILD_DIR"
[ -s "$WORK/all" ] || die "res/exports.tsv lists no exports"
awk -F'\t' '$2 !~ /^[0-9]+$/ { print $1 " (" $2 ")" }' "$WORK/tsv" >"$WORK/badargc"
if [ -s "$WORK/badargc" ]; then
  fail "res/exports.tsv: argument counts that are not numbers:"
  show "$WORK/badargc"
fi
comm -23 "$WORK/impl" "$WORK/all" >"$WORK/unknown"
if [ -s "$WORK/unknown" ]; then
  fail "res/implemented.txt: names that res/exports.tsv does not list:"
  show "$WORK/unknown"
else
  pass "res/implemented.txt: $(wc -l <"$WORK/impl") names, all in res/exports.tsv ($(wc -l <"$WORK/all") exports)"
fi

# Expected stdcall decorations: "_Name@N" for every export of the interface.
awk -F'\t' '{ printf "_%s@%d\n", $1, $2 * 4 }' "$WORK/tsv" | sort >"$WORK/decorated_all"

# Checks a list of "_Name@N" against the expected decorations; $2 names the list.
check_decorations() {
  local list=$1 what=$2
  if [ ! -s "$list" ]; then
    fail "$what: no stdcall names found"
    return
  fi
  comm -23 "$list" "$WORK/decorated_all" >"$WORK/wrong"
  if [ -s "$WORK/wrong" ]; then
    # Show each wrong name beside the decoration exports.tsv asks for.
    while IFS= read -r sym; do
      local name=${sym#_}
      name=${name%@*}
      local want
      want=$(grep -m1 "^_${name}@" "$WORK/decorated_all" || echo "(not in res/exports.tsv)")
      echo "$sym, expected $want"
    done <"$WORK/wrong" >"$WORK/wrong_detail"
    fail "$what: stdcall argument sizes that differ from 4 x the argument count:"
    show "$WORK/wrong_detail"
  else
    pass "$what: $(wc -l <"$list") stdcall names, each _Name@(4 x argument count)"
  fi
}

check_linux() {
  local so=$BUILD_DIR/libQornRV270API.so
  [ -e "$so" ] || so=$(find "$BUILD_DIR" -maxdepth 2 -name 'libQornRV270API.so*' -type f -print -quit)
  [ -n "$so" ] && [ -e "$so" ] || die "no libQornRV270API.so in $BUILD_DIR (was the QornRV270API target built?)"
  command -v nm >/dev/null || die "nm not found (binutils)"
  # Defined dynamic symbols; versioned names (Name@@VER) count by their name.
  nm -D --defined-only "$so" >"$WORK/nm" || die "nm -D failed on $so"
  awk 'NF >= 3 { print $3 } NF == 2 { print $2 }' "$WORK/nm" | sed 's/@.*//' | grep -v '^$' |
    sort -u >"$WORK/dynsym"
  same_names "$WORK/dynsym" "$WORK/impl" "$(basename "$so") dynamic symbols"
}

check_windows() {
  local triple objdump nmtool
  if [ "$TARGET" = win32 ]; then triple=i686-w64-mingw32; else triple=x86_64-w64-mingw32; fi
  objdump=$triple-objdump
  nmtool=$triple-nm
  command -v "$objdump" >/dev/null || objdump=x86_64-w64-mingw32-objdump
  command -v "$objdump" >/dev/null || die "$triple-objdump not found (binutils-mingw-w64)"
  command -v "$nmtool" >/dev/null || die "$triple-nm not found (binutils-mingw-w64)"

  local dll=$BUILD_DIR/QornRV270API.dll
  [ -e "$dll" ] || dll=$(find "$BUILD_DIR" -maxdepth 2 -name 'QornRV270API.dll' -type f -print -quit)
  [ -n "$dll" ] && [ -e "$dll" ] || die "no QornRV270API.dll in $BUILD_DIR (was the QornRV270API target built?)"
  "$objdump" -p "$dll" >"$WORK/pe" || die "$objdump -p failed on $dll"

  # The machine type tells a 32-bit from a 64-bit DLL.
  local format
  format=$(sed -n 's/.*file format \([^ ]*\).*/\1/p' "$WORK/pe" | head -n1)
  case "$TARGET:$format" in
    win32:pei-i386 | win64:pei-x86-64) pass "$(basename "$dll"): $format" ;;
    *) fail "$(basename "$dll"): file format '$format' is not the $TARGET one" ;;
  esac

  # Export table: the names of "[Ordinal/Name Pointer] Table", one "[  n] Name" a line.
  awk '/^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
       on && /^[[:space:]]*$/ { on = 0 }
       on && /\[ *[0-9]+\]/ { print $NF }' "$WORK/pe" | sort >"$WORK/dllnames"
  if [ -n "$(uniq -d "$WORK/dllnames")" ]; then
    fail "$(basename "$dll"): names exported twice: $(uniq -d "$WORK/dllnames" | tr '\n' ' ')"
  fi
  sort -u -o "$WORK/dllnames" "$WORK/dllnames"
  grep '@' "$WORK/dllnames" >"$WORK/dlldecorated"
  if [ -s "$WORK/dlldecorated" ]; then
    fail "$(basename "$dll"): decorated names in the export table (the DLL exports plain names):"
    show "$WORK/dlldecorated"
  fi
  local count
  count=$(awk '/^[[:space:]]*Export Address Table[[:space:]]+[0-9a-fA-F]+$/ { print $NF; exit }' "$WORK/pe")
  [ -z "$count" ] || count=$((16#$count))
  if [ -n "$count" ] && [ "$count" != "$(wc -l <"$WORK/dllnames")" ]; then
    fail "$(basename "$dll"): $count entries in the export address table, $(wc -l <"$WORK/dllnames") names"
  fi
  same_names "$WORK/dllnames" "$WORK/impl" "$(basename "$dll") export table"

  # Imported DLLs: system DLLs only; the GCC runtime, libstdc++ and winpthread are linked
  # in statically so that the DLL works alone in a host program's folder.
  sed -n 's/^[[:space:]]*DLL Name: //p' "$WORK/pe" | tr -d '\r' | sort -u >"$WORK/imports"
  local system='^(kernel32|user32|advapi32|setupapi|hid|ws2_32|wsock32|version|shlwapi|msvcrt|ucrtbase|ntdll|gdi32|shell32|ole32|oleaut32|bcrypt|cfgmgr32|rpcrt4|winmm|crypt32|api-ms-win-[a-z0-9-]+)\.dll$'
  tr 'A-Z' 'a-z' <"$WORK/imports" | grep -Ev "$system" >"$WORK/foreign" || true
  if [ -s "$WORK/foreign" ]; then
    fail "$(basename "$dll") imports DLLs that are not part of Windows:"
    show "$WORK/foreign"
  elif [ ! -s "$WORK/imports" ]; then
    fail "$(basename "$dll"): no import table found"
  else
    pass "$(basename "$dll") imports system DLLs only: $(tr '\n' ' ' <"$WORK/imports")"
  fi

  # Import library: the names a caller links against.
  local implib=$BUILD_DIR/libQornRV270API.dll.a
  [ -e "$implib" ] || implib=$(find "$BUILD_DIR" -maxdepth 2 -name 'libQornRV270API.dll.a' -type f -print -quit)
  if [ -z "$implib" ] || [ ! -e "$implib" ]; then
    fail "no import library libQornRV270API.dll.a in $BUILD_DIR"
  else
    "$nmtool" "$implib" 2>/dev/null >"$WORK/implib_nm" || die "$nmtool failed on $implib"
    # Code thunks (T) are the callable names; __imp_ pointers (I) come with them.
    awk 'NF >= 2 && $(NF-1) == "T" { print $NF }' "$WORK/implib_nm" | grep -v '^\.' | sort -u >"$WORK/implib_names"
    if [ "$TARGET" = win32 ]; then
      check_decorations "$WORK/implib_names" "$(basename "$implib")"
      sed 's/^_//; s/@[0-9]*$//' "$WORK/implib_names" | sort -u >"$WORK/implib_plain"
    else
      grep '@' "$WORK/implib_names" >"$WORK/implib_decorated"
      if [ -s "$WORK/implib_decorated" ]; then
        fail "$(basename "$implib"): decorated names in a 64-bit import library:"
        show "$WORK/implib_decorated"
      fi
      cp "$WORK/implib_names" "$WORK/implib_plain"
    fi
    same_names "$WORK/implib_plain" "$WORK/impl" "$(basename "$implib")"
  fi

  # The public header: the names a caller's compiler makes from its prototypes. On i686
  # the compiler decorates each __stdcall name with the size of its parameters, so a
  # prototype with a wrong parameter list shows as a wrong _Name@N.
  if [ "$TARGET" = win32 ] && [ -r "$HEADER" ]; then
    local cc=$triple-gcc-posix
    command -v "$cc" >/dev/null || cc=$triple-gcc
    if command -v "$cc" >/dev/null; then
      {
        echo '#include "QornRV270API.h"'
        echo 'void *const rv270_every_export[] = {'
        sed 's/.*/  (void *)\&&,/' "$WORK/all"
        echo '};'
      } >"$WORK/refs.c"
      if "$cc" -std=c99 -Werror=implicit-function-declaration -I"$REPO/include" -c "$WORK/refs.c" \
        -o "$WORK/refs.o" 2>"$WORK/refs.err"; then
        "$nmtool" -u "$WORK/refs.o" | awk '{ print $NF }' | grep '@' | sort -u >"$WORK/header_names"
        check_decorations "$WORK/header_names" "include/QornRV270API.h (as a caller compiles it)"
      else
        fail "include/QornRV270API.h does not declare every export of res/exports.tsv:"
        grep -E 'error' "$WORK/refs.err" >"$WORK/refs.errs" || true
        show "$WORK/refs.errs"
      fi
    fi
  fi
}

if [ "$TARGET" = linux ]; then check_linux; else check_windows; fi

if [ "$FAILURES" -gt 0 ]; then
  echo "check-exports ($TARGET): $FAILURES check(s) FAILED"
  exit 1
fi
echo "check-exports ($TARGET): all checks passed"
