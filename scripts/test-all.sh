#!/usr/bin/env bash
# Builds every target and runs every test, from a fresh Debian 12 machine:
#
#   install     the Debian packages that are missing (build tools, GoogleTest, Google
#               Benchmark, clang with libFuzzer, mingw-w64, Wine, socat; for the later
#               stages the aarch64 cross compiler, qemu-user, pytest, pip and Mono), skipped
#               when all are present
#   linux       native RelWithDebInfo build of all targets; ctest; export check of the .so;
#               the teller demo against the simulator (scripts/demo.sh); one short pass of
#               the benchmarks
#   linux-asan  AddressSanitizer + UndefinedBehaviorSanitizer build of the unit and family
#               tests and of the fuzz targets' replay of their kept inputs; ctest
#   linux-tsan  ThreadSanitizer build of the family tests; the cancel and concurrency tests
#               (threads calling exports on USB and serial at once, with cancels)
#   fuzz        libFuzzer targets built with clang, ASan and UBSan; a short pass of each
#               (RV270_FUZZ_SECONDS, default 12) from its kept corpus in fuzz/corpus
#   win32       i686 DLL, import library, test programs, simulator and examples; export
#   win64       check of the DLL; unit and family tests (against the DLL) under Wine, with
#               a COM port pair on a socat pseudo-terminal pair for the serial tests; the
#               DLL's HID code under Wine's HID stack against emulated hidraw terminals
#               (tests/winhid, with rv270-hidraw-terminal of the Linux build)
#   linux-aarch64  cross build (aarch64-linux-gnu) of the library and the unit and family
#               test programs; export check; unit and family_core tests under qemu-user
#               (pauses skipped)
#   integration for integrators, on the Linux build: the consumer test of the installed
#               tree (CMake package and pkg-config), the Python package (pip install,
#               pytest) and the C# example (mono) against the simulator; the simulator's
#               screen view in headless Chromium (screenshot: build/linux/screen-view.png)
#   packages    the Windows drops: one CPack ZIP per architecture (win32, win64), with
#               their contents checked
#
# usage: scripts/test-all.sh [--no-install | --install-only] [--only STAGE[,STAGE...]]
#   --no-install    do not install packages, even when some are missing
#   --install-only  install the missing packages (of the chosen stages) and stop
#   --only          run only these of: linux, linux-asan, linux-tsan, fuzz, win32, win64,
#                   linux-aarch64, packages, integration
#
# Environment: RV270_BUILD_ROOT (build folders, default build/), RV270_JOBS (default 2),
# RV270_TEST_TIMEOUT (seconds per test program, default 900), RV270_FUZZ_SECONDS (seconds
# per fuzz target, default 12).
#
# Stages build one after the other; each stage's tests run in the background while the next
# stage builds (one such lane at a time; its output is printed when it ends).
#
# The summary at the end lists every step with its time and every test program or check
# with its outcome; its last line is "N passed, M failed", counting the test programs,
# export checks, demo, benchmark pass and fuzz targets of all stages, plus one failure for each
# install, configure or build step that failed. The exit status is non-zero when anything failed.
set -uo pipefail

# shellcheck source=scripts/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

TEST_TIMEOUT=${RV270_TEST_TIMEOUT:-900}
FUZZ_SECONDS=${RV270_FUZZ_SECONDS:-12}
ALL_STAGES=(linux linux-asan linux-tsan fuzz win32 win64 linux-aarch64 packages integration)
STAGES=("${ALL_STAGES[@]}")
INSTALL=1
INSTALL_ONLY=0

while [ $# -gt 0 ]; do
  case "$1" in
    --no-install) INSTALL=0 ;;
    --install-only) INSTALL_ONLY=1 ;;
    --only)
      [ $# -ge 2 ] || { echo "--only needs a list of stages" >&2; exit 2; }
      IFS=',' read -r -a STAGES <<<"$2"
      for s in "${STAGES[@]}"; do
        case " ${ALL_STAGES[*]} " in *" $s "*) ;; *) echo "unknown stage: $s" >&2; exit 2 ;; esac
      done
      shift
      ;;
    -h | --help)
      sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'
      exit 0
      ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done

wants() { case " ${STAGES[*]} " in *" $1 "*) return 0 ;; *) return 1 ;; esac; }

# Nothing here reads standard input, and Wine runs without a display.
exec </dev/null
unset DISPLAY WAYLAND_DISPLAY
export DEBIAN_FRONTEND=noninteractive
cd "$RV270_REPO" || exit 1

# ---------------------------------------------------------------------------------------
# Bookkeeping: steps (with times) and results (test programs and checks).

STEP_LINES=()
RESULT_LINES=()
PASSED=0
FAILED=0
STEP_START=0

step_begin() {
  STEP_START=$SECONDS
  note "$1"
}

# step_end NAME STATUS [note]: records the step's time. STATUS is ok, skipped, failed (its
# results are counted on their own) or FAILED (the step counts as one failed result).
step_end() {
  local name=$1 status=$2 detail=${3:-}
  STEP_LINES+=("$(printf '%-28s %-8s %5ds  %s' "$name" "$status" $((SECONDS - STEP_START)) "$detail")")
  if [ "$status" = FAILED ]; then
    result "$name" failed
  fi
}

# result NAME passed|failed|skipped [note]
result() {
  local name=$1 status=$2 detail=${3:-}
  RESULT_LINES+=("$(printf '%-36s %-8s %s' "$name" "$status" "$detail")")
  case "$status" in
    passed) PASSED=$((PASSED + 1)) ;;
    failed) FAILED=$((FAILED + 1)) ;;
  esac
}

# run_logged LOG command...: runs the command, its output on the console and in LOG.
run_logged() {
  local log=$1
  shift
  "$@" 2>&1 | tee "$log"
  return "${PIPESTATUS[0]}"
}

# run_ctest STAGE DIR [ctest args...]: runs the build folder's tests and records each test
# program from ctest's result lines ("1/3 Test #1: unit ....   Passed   0.52 sec").
run_ctest() {
  local stage=$1 dir=$2
  shift 2
  local log=$dir/ci-ctest.log
  step_begin "$stage: tests"
  # The test programs mostly wait on their simulators: two run at a time, except where
  # they share one COM port pair (CTEST_JOBS=1).
  (cd "$dir" && run_logged "$log" ctest --output-on-failure --parallel "${CTEST_JOBS:-2}" --timeout "$TEST_TIMEOUT" "$@")
  local rc=$?
  local seen=0 line name
  while IFS= read -r line; do
    [[ $line =~ ^\ *[0-9]+/[0-9]+\ +Test\ +\#[0-9]+:\ +([^ ]+) ]] || continue
    name=${BASH_REMATCH[1]}
    seen=$((seen + 1))
    if [[ $line == *" Passed "* ]]; then
      result "$stage: $name" passed "$(sed 's/.* Passed *//' <<<"$line")"
    elif [[ $line == *Skipped* ]]; then
      result "$stage: $name" skipped
    else
      result "$stage: $name" failed "$(sed 's/.*\*\*\*//; s/\.\.\.*//' <<<"$line" | tr -s ' ')"
    fi
  done <"$log"
  if [ "$seen" -eq 0 ]; then
    if [ "$rc" -ne 0 ]; then
      step_end "$stage: tests" FAILED "ctest exited with $rc before running any test"
    else
      step_end "$stage: tests" ok "no tests defined yet"
    fi
  else
    step_end "$stage: tests" "$([ "$rc" -eq 0 ] && echo ok || echo failed)" "$seen test program(s)"
  fi
}

# run_export_check STAGE DIR linux|win32|win64
run_export_check() {
  local stage=$1 dir=$2 kind=$3
  step_begin "$stage: export check"
  if run_logged "$dir/ci-exports.log" "$RV270_REPO/scripts/check-exports.sh" "$dir" "$kind"; then
    result "$stage: exports" passed
    step_end "$stage: export check" ok
  else
    result "$stage: exports" failed "see $dir/ci-exports.log"
    step_end "$stage: export check" failed
  fi
}

# configure_and_build STAGE PRESET [targets...]: returns non-zero only when the configure
# step failed (a failed build still lets the programs that did build run).
configure_and_build() {
  local stage=$1 preset=$2
  shift 2
  local dir
  dir=$(build_dir "$preset")
  mkdir -p "$dir"
  step_begin "$stage: configure"
  if ! run_logged "$dir/ci-configure.log" configure_preset "$preset"; then
    step_end "$stage: configure" FAILED "see $dir/ci-configure.log"
    return 1
  fi
  step_end "$stage: configure" ok
  local targets=()
  if [ $# -gt 0 ]; then
    mapfile -t targets < <(existing_targets "$dir" "$@")
    if [ ${#targets[@]} -eq 0 ]; then
      step_begin "$stage: build"
      step_end "$stage: build" FAILED "none of the targets exists: $*"
      return 0
    fi
  fi
  step_begin "$stage: build ${targets[*]:-all}"
  if run_logged "$dir/ci-build.log" build_targets "$dir" "${targets[@]}"; then
    step_end "$stage: build" ok "${targets[*]:-all targets}"
  else
    step_end "$stage: build" FAILED "$(grep -c '^FAILED: ' "$dir/ci-build.log") failed build step(s), see $dir/ci-build.log"
  fi
  return 0
}

# ---------------------------------------------------------------------------------------
# Packages.

# libFuzzer and the sanitizer runtimes of clang, and llvm-symbolizer for readable stacks.
FUZZ_PACKAGES=(clang libclang-rt-14-dev llvm-14)
WINDOWS_PACKAGES=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686
  binutils-mingw-w64-x86-64 wine wine32:i386 wine64 socat)
# The emulated terminals of the Wine HID tests (umockdev, found through pkg-config).
WINHID_PACKAGES=(umockdev libumockdev-dev pkg-config)
# The aarch64 cross compiler, qemu-user and the arm64 run-time libraries the tests run
# with (the cross C library lacks the GBK converter); Python (pytest, pip, setuptools), pkg-config
# and Mono for the integrators' stage, with Chromium and a Chinese font for the screen view.
AARCH64_PACKAGES=(g++-aarch64-linux-gnu qemu-user libc6:arm64 libstdc++6:arm64)
INTEGRATION_PACKAGES=(python3-pytest python3-pip python3-setuptools pkg-config mono-devel
  chromium fonts-wqy-zenhei)

install_packages() {
  local wanted=("${BASE_PACKAGES[@]}")
  if wants fuzz; then wanted+=("${FUZZ_PACKAGES[@]}"); fi
  if wants win32 || wants win64 || wants packages; then wanted+=("${WINDOWS_PACKAGES[@]}"); fi
  if wants win32 || wants win64; then wanted+=("${WINHID_PACKAGES[@]}"); fi
  if wants linux-aarch64; then wanted+=("${AARCH64_PACKAGES[@]}"); fi
  if wants integration; then wanted+=("${INTEGRATION_PACKAGES[@]}"); fi
  local missing=()
  mapfile -t missing < <(missing_packages "${wanted[@]}")
  step_begin "install"
  if [ ${#missing[@]} -eq 0 ]; then
    step_end "install" ok "all packages present"
    return
  fi
  echo "missing packages: ${missing[*]}"
  if [ "$INSTALL" -eq 0 ]; then
    step_end "install" skipped "--no-install; missing: ${missing[*]}"
    return
  fi
  local why
  if why=$(apt_install "${missing[@]}"); then
    step_end "install" ok "installed: ${missing[*]}"
  else
    step_end "install" FAILED "$why"
  fi
}

# ---------------------------------------------------------------------------------------
# Stages.

# run_program STAGE NAME LOG command...: one more test program, outside ctest.
run_program() {
  local stage=$1 name=$2 log=$3
  shift 3
  step_begin "$stage: $name"
  if run_logged "$log" timeout "$TEST_TIMEOUT" "$@"; then
    result "$stage: $name" passed
    step_end "$stage: $name" ok
  else
    result "$stage: $name" failed "see $log"
    step_end "$stage: $name" failed
  fi
}

# ---------------------------------------------------------------------------------------
# Test lanes. Building keeps both cores busy, while the test programs mostly wait on their
# simulators; so a stage's tests run in the background while the next stage builds. One
# lane runs at a time (test programs of two stages never run at once: they share named
# locks). A lane's output goes to its log and is printed when it ends; its steps and
# results join the summary then.

LANE_PID=
LANE_NAME=
LANE_DIR=$RV270_BUILD_ROOT/ci-lanes
LANE_COUNT=0

# lane_start NAME command...: waits for the lane before, then runs the command in the
# background.
lane_start() {
  lane_wait
  LANE_NAME=$1
  shift
  LANE_COUNT=$((LANE_COUNT + 1))
  local base=$LANE_DIR/$LANE_COUNT
  mkdir -p "$LANE_DIR"
  note "$LANE_NAME: tests start in the background (output: $base.log)"
  (
    STEP_LINES=() RESULT_LINES=() PASSED=0 FAILED=0
    "$@" >"$base.log" 2>&1
    { [ ${#STEP_LINES[@]} -eq 0 ] || printf '%s\n' "${STEP_LINES[@]}"; } >"$base.steps"
    { [ ${#RESULT_LINES[@]} -eq 0 ] || printf '%s\n' "${RESULT_LINES[@]}"; } >"$base.results"
    echo "$PASSED $FAILED" >"$base.counts"
  ) &
  LANE_PID=$!
}

# lane_wait: waits for the running lane, prints its output and takes in its steps and
# results (a lane that ended without its record counts as one failure).
lane_wait() {
  [ -n "$LANE_PID" ] || return 0
  wait "$LANE_PID"
  local base=$LANE_DIR/$LANE_COUNT line passed failed
  note "$LANE_NAME: tests ended (background output follows)"
  cat "$base.log" 2>/dev/null
  if [ -f "$base.counts" ]; then
    while IFS= read -r line; do STEP_LINES+=("$line"); done <"$base.steps"
    while IFS= read -r line; do RESULT_LINES+=("$line"); done <"$base.results"
    read -r passed failed <"$base.counts"
    PASSED=$((PASSED + passed))
    FAILED=$((FAILED + failed))
  else
    result "$LANE_NAME: tests" failed "the background lane ended without its record, see $base.log"
  fi
  LANE_PID=
}

stop_lane() {
  if [ -n "$LANE_PID" ]; then
    pkill -TERM -P "$LANE_PID" 2>/dev/null
    kill "$LANE_PID" 2>/dev/null
  fi
}

stage_linux() {
  local dir
  dir=$(build_dir linux)
  configure_and_build linux linux || return
  lane_start linux linux_checks "$dir"
}

linux_checks() {
  local dir=$1
  run_ctest linux "$dir"
  run_export_check linux "$dir" linux
  # The README's main command: the teller demo against the simulator.
  if [ -n "$(existing_targets "$dir" teller_demo)" ]; then
    run_program linux demo "$dir/ci-demo.log" "$RV270_REPO/scripts/demo.sh" --no-install
  fi
  # The benchmarks run once, briefly: they must run through, their figures are not judged.
  # The serial transfers at the line rate (1 MB each way, over three minutes) are left to
  # runs by hand.
  if [ -x "$dir/bench/rv270_bench" ]; then
    run_program linux "benchmarks (one short pass)" "$dir/ci-bench.log" \
      "$dir/bench/rv270_bench" --benchmark_min_time=0.01 \
      --benchmark_filter='-(SerialDownloadPaced|SerialUploadPaced)'
  fi
}

# Prints 1 when LeakSanitizer works here (it needs ptrace, which some containers refuse).
leak_check_works() {
  local dir=$1
  mkdir -p "$dir/ci-lsan"
  printf '#include <stdlib.h>\nint main(void) { void *volatile p = malloc(7); p = 0; return 0; }\n' \
    >"$dir/ci-lsan/leak.c"
  local out=
  if cc -fsanitize=address -g "$dir/ci-lsan/leak.c" -o "$dir/ci-lsan/leak" 2>/dev/null; then
    out=$(ASAN_OPTIONS=detect_leaks=1 "$dir/ci-lsan/leak" 2>&1)
  fi
  if grep -q 'LeakSanitizer: detected memory leaks' <<<"$out"; then
    echo 1
  else
    echo 0
  fi
}

stage_linux_asan() {
  local dir
  dir=$(build_dir linux-asan)
  configure_and_build linux-asan linux-asan \
    rv270_unit_tests rv270_family_tests_core rv270_family_tests_lib $(replay_targets) || return
  lane_start linux-asan linux_asan_tests "$dir"
}

linux_asan_tests() {
  local dir=$1 leaks
  leaks=$(leak_check_works "$dir")
  if [ "$leaks" = 1 ]; then
    echo "LeakSanitizer works here: leak checks on"
  else
    echo "LeakSanitizer does not work here (no ptrace?): detect_leaks=0"
    STEP_LINES+=("$(printf '%-28s %-8s %5s   %s' "linux-asan: leak checks" off - "LeakSanitizer does not work on this machine")")
  fi
  ASAN_OPTIONS="detect_leaks=$leaks" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    run_ctest linux-asan "$dir" -R '^(unit|family_core|family_lib|fuzz_replay_.*)$'
}

# The fuzz targets, as fuzz/CMakeLists.txt names them.
fuzz_target_names() {
  sed -n 's/^set(RV270_FUZZ_TARGETS \([a-z_ ]*\))$/\1/p' "$RV270_REPO/fuzz/CMakeLists.txt" | tr ' ' '\n'
}
replay_targets() { fuzz_target_names | sed 's/^/rv270_replay_/'; }

# The threads' stage: the cancel tests and the concurrency tests under ThreadSanitizer.
# Memory is capped: a data race that corrupts a buffer's length can make a test
# allocate without end, and ThreadSanitizer has no limit of its own.
stage_linux_tsan() {
  local dir
  dir=$(build_dir linux-tsan)
  configure_and_build linux-tsan linux-tsan rv270_family_tests_core || return
  lane_start linux-tsan linux_tsan_tests "$dir"
}

linux_tsan_tests() {
  local dir=$1
  local exe=$dir/tests/rv270_family_tests_core log=$dir/ci-tsan.log
  [ -x "$exe" ] || return
  step_begin "linux-tsan: cancel and concurrency tests"
  # Without address space randomisation: ThreadSanitizer refuses to start on kernels that
  # randomise mappings more widely than its memory layout allows.
  RV270_TEST_SKIP_PAUSES=1 TSAN_OPTIONS="halt_on_error=0 second_deadlock_stack=1" \
    run_capped 4096 "$TEST_TIMEOUT" setarch "$(uname -m)" -R "$exe" --gtest_filter='*Cancel*:Concurrency*' \
    >"$log" 2>&1
  local rc=$? reports
  reports=$(grep -c '^WARNING: ThreadSanitizer' "$log")
  grep -E '^\[ *(OK|FAILED|SKIPPED) *\]|^SUMMARY: ThreadSanitizer' "$log" | sort | uniq -c
  if [ "$rc" -eq 0 ] && [ "$reports" -eq 0 ]; then
    result "linux-tsan: cancel and concurrency" passed
    step_end "linux-tsan: cancel and concurrency tests" ok
  else
    result "linux-tsan: cancel and concurrency" failed "exit $rc, $reports report(s), see $log"
    step_end "linux-tsan: cancel and concurrency tests" failed
  fi
}

# A short pass of every fuzz target from its kept corpus (copied: the pass adds to the
# copy, never to the repository) and its kept crash inputs. Crashing inputs land in $dir/ci-crashes/<target>;
# keep them in fuzz/regressions/<target> once the fault is mended.
stage_fuzz() {
  local dir names=() name
  dir=$(build_dir fuzz)
  mapfile -t names < <(fuzz_target_names)
  configure_and_build fuzz fuzz "${names[@]/#/fuzz_}" || return
  for name in "${names[@]}"; do
    local exe=$dir/fuzz/fuzz_$name log=$dir/ci-fuzz-$name.log
    [ -x "$exe" ] || continue
    mkdir -p "$dir/ci-corpus/$name" "$dir/ci-crashes/$name"
    cp -f "$RV270_REPO/fuzz/corpus/$name"/* "$dir/ci-corpus/$name/" 2>/dev/null
    local kept=()
    [ -d "$RV270_REPO/fuzz/regressions/$name" ] && kept=("$RV270_REPO/fuzz/regressions/$name")
    step_begin "fuzz: $name"
    "$exe" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$dir/ci-crashes/$name/" "$dir/ci-corpus/$name" \
      "${kept[@]}" >"$log" 2>&1
    local rc=$? runs
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    if [ "$rc" -eq 0 ]; then
      result "fuzz: $name" passed "${runs:-?} executions"
      step_end "fuzz: $name" ok "${runs:-?} executions"
    else
      grep -E '^(==[0-9]+==ERROR|SUMMARY|fuzz check failed)|artifact_prefix|Test unit written' "$log"
      result "fuzz: $name" failed "see $log and $dir/ci-crashes/$name"
      step_end "fuzz: $name" failed "${runs:-?} executions"
    fi
  done
}

# Wine prefix of a build folder: made once with wineboot, headless, without the Mono and
# Gecko installers; reused by later runs.
wine_env() {
  export WINEPREFIX=$1/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  # The 64-bit programs run under Debian's 64-bit loader itself: the `wine` wrapper
  # starts the 32-bit loader first, which a kernel without 32-bit support cannot run.
  WINE=wine
  if [ "$2" = win64 ] && [ -x /usr/lib/wine/wine64 ]; then
    WINE=/usr/lib/wine/wine64
    export WINELOADER=$WINE
  fi
}

# Prints 1 when this machine runs 32-bit x86 programs (some kernels are built without).
runs_32bit_programs() {
  local loader=/usr/lib/wine/wine
  [ -x "$loader" ] || { echo 1; return; }
  if "$loader" --version >/dev/null 2>&1; then echo 1; else echo 0; fi
}

init_wine_prefix() {
  local stage=$1
  step_begin "$stage: wine prefix"
  if [ -f "$WINEPREFIX/system.reg" ]; then
    step_end "$stage: wine prefix" ok "reused $WINEPREFIX"
    return 0
  fi
  rm -rf "$WINEPREFIX"
  local log=$WINEPREFIX-boot.log
  if "$WINE" wineboot -i >"$log" 2>&1 && wineserver -w && [ -f "$WINEPREFIX/system.reg" ]; then
    step_end "$stage: wine prefix" ok "made $WINEPREFIX"
    return 0
  fi
  step_end "$stage: wine prefix" FAILED "wineboot -i failed, see $log"
  return 1
}

SOCAT_PID=

# start_com_pair DIR: a socat pseudo-terminal pair, its ends linked as COM5 (the library's
# port) and COM6 (the simulator's) in the Wine prefix.
start_com_pair() {
  local dir=$1
  local a=$dir/serial/com5-library b=$dir/serial/com6-simulator
  mkdir -p "$dir/serial"
  rm -f "$a" "$b"
  socat -d "pty,raw,echo=0,link=$a" "pty,raw,echo=0,link=$b" 2>"$dir/serial/socat.log" &
  SOCAT_PID=$!
  local i
  for i in $(seq 50); do
    [ -e "$a" ] && [ -e "$b" ] && break
    sleep 0.1
  done
  if [ ! -e "$a" ] || [ ! -e "$b" ]; then
    warn "socat made no pseudo-terminal pair; the serial tests will skip"
    stop_com_pair
    return 1
  fi
  ln -sfn "$a" "$WINEPREFIX/dosdevices/com5"
  ln -sfn "$b" "$WINEPREFIX/dosdevices/com6"
  export RV270_TEST_LIB_COM=5 RV270_TEST_SIM_COM=6
  echo "COM5 -> $(readlink "$a"), COM6 -> $(readlink "$b")"
}

stop_com_pair() {
  if [ -n "$SOCAT_PID" ]; then
    kill "$SOCAT_PID" 2>/dev/null
    wait "$SOCAT_PID" 2>/dev/null
  fi
  SOCAT_PID=
  unset RV270_TEST_LIB_COM RV270_TEST_SIM_COM
}

stage_windows() {
  local stage=$1
  local dir examples
  dir=$(build_dir "$stage")
  mapfile -t examples < <(find "$RV270_REPO/examples" -maxdepth 1 -name '*.cpp' -printf '%f\n' | sed 's/\.cpp$//' | sort)
  configure_and_build "$stage" "$stage" \
    QornRV270API rv270_unit_tests rv270_family_tests_lib rv270-sim rv270_winhid_tests "${examples[@]}" || return
  run_export_check "$stage" "$dir" "$stage"
  # The emulated terminals of the Wine HID tests are a Linux program (tests/devstack).
  configure_and_build "$stage: hidraw terminal" linux rv270-hidraw-terminal

  # The programs that use the DLL find it beside them.
  if [ -f "$dir/QornRV270API.dll" ]; then
    local exe
    for exe in "$dir"/tests/rv270_family_tests_lib.exe "$dir"/examples/*.exe; do
      [ -f "$exe" ] && cp -f "$dir/QornRV270API.dll" "$(dirname "$exe")/"
    done
  fi
  lane_start "$stage" windows_tests "$stage" "$dir"
}

windows_tests() {
  local stage=$1 dir=$2
  wine_env "$dir" "$stage"
  if [ "$stage" = win32 ] && [ "$(runs_32bit_programs)" = 0 ]; then
    step_begin "$stage: tests"
    result "$stage: tests under Wine" skipped "this machine's kernel runs no 32-bit programs"
    step_end "$stage: tests" skipped "this machine's kernel runs no 32-bit programs (the build and export check ran)"
  elif init_wine_prefix "$stage"; then
    start_com_pair "$dir"
    CTEST_JOBS=1 run_ctest "$stage" "$dir" -R '^(unit|family_lib)$'
    stop_com_pair
    winhid_tests "$stage" "$dir"
    # Ends this prefix's Wine server and anything a timed-out test left running in it.
    wineserver -k 2>/dev/null
  fi
  unset WINEPREFIX WINEDEBUG WINEDLLOVERRIDES WINELOADER
}

# The DLL's Windows HID code (device setup lists, HidD_*, CreateFile, overlapped reads)
# under Wine's HID class stack, whose bus driver reads emulated terminals at the Linux
# hidraw interface (tests/winhid/run.sh). The win32 stage's prefix is a 64-bit one too,
# so the bus driver is a 64-bit process for both programs and umockdev's 64-bit preload
# library serves it (the 32-bit test process itself needs none).
winhid_tests() {
  local stage=$1 dir=$2 terminal
  terminal=$(build_dir linux)/tests/devstack/rv270-hidraw-terminal
  if [ ! -x "$terminal" ] || [ ! -f "$dir/tests/winhid/rv270_winhid_tests.exe" ]; then
    result "$stage: winhid (Wine HID stack)" failed "rv270-hidraw-terminal or rv270_winhid_tests.exe not built"
    return
  fi
  WINE=$WINE run_program "$stage" "winhid (Wine HID stack)" "$dir/ci-winhid.log" \
    "$RV270_REPO/tests/winhid/run.sh" "$dir" "$terminal"
}

# ---------------------------------------------------------------------------------------
# Stages for integrators and other platforms: Linux on aarch64, the installed tree and
# the bindings, the Windows drops.

stage_linux_aarch64() {
  local dir
  dir=$(build_dir linux-aarch64)
  configure_and_build linux-aarch64 linux-aarch64 \
    QornRV270API rv270_unit_tests rv270_family_tests_core || return
  run_export_check linux-aarch64 "$dir" linux
  lane_start linux-aarch64 aarch64_tests "$dir"
}

aarch64_tests() {
  local dir=$1
  # ctest runs the programs under qemu-aarch64 (the toolchain's emulator); family_lib,
  # which keeps the shipped library's real pauses, runs on the native builds only.
  run_ctest linux-aarch64 "$dir" -R '^(unit|family_core)$'
}

stage_integration() {
  local dir
  dir=$(build_dir linux)
  configure_and_build integration linux QornRV270API rv270-sim || return
  local sim=$dir/sim/rv270-sim
  # A serial port whose device does not exist, for the failure checks.
  export RV270_COM9=$dir/no-such-port

  run_program integration "consumer (CMake package, pkg-config)" "$dir/ci-consumer.log" \
    "$RV270_REPO/tests/consumer/run.sh" "$dir"

  # The package is installed the way an integrator would, from a copy of python/ (the
  # build leaves files beside its sources), and its tests import the installed copy.
  local py=$dir/python
  rm -rf "$py" && mkdir -p "$py" && cp -r "$RV270_REPO/python" "$py/src"
  run_program integration "python: pip install" "$dir/ci-python-install.log" \
    /usr/bin/python3 -m pip install --no-build-isolation --no-index --no-deps \
    --target "$py/site" "$py/src"
  RV270_SOURCE_DIR=$RV270_REPO PYTHONPATH=$py/site RV270_SIM_PROGRAM=$sim \
    QORNRV270_LIBRARY=$dir/libQornRV270API.so.1 run_program integration "python: pytest" "$dir/ci-python-tests.log" \
    /usr/bin/python3 -m pytest -p no:cacheprovider -v "$py/src/tests"

  mkdir -p "$dir/csharp"
  run_program integration "csharp: build" "$dir/ci-csharp-build.log" \
    mcs -nologo -warn:4 -warnaserror -out:"$dir/csharp/RV270Example.exe" "$RV270_REPO"/csharp/*.cs
  LD_LIBRARY_PATH=$dir run_program integration "csharp: example" "$dir/ci-csharp-run.log" \
    "$RV270_REPO/scripts/with-sim.sh" "$sim" --log "$dir/ci-csharp-sim.log" --verbose -- \
    mono "$dir/csharp/RV270Example.exe" --check-declarations "$RV270_REPO/res/exports.tsv"
  # The GBK welcome text 欢迎光临 as the simulator received it.
  if grep -q '^request usb: 50 1C 00 08 BB B6 D3 AD B9 E2 C1 D9$' "$dir/ci-csharp-sim.log"; then
    result "integration: csharp GBK on the wire" passed
  else
    result "integration: csharp GBK on the wire" failed "see $dir/ci-csharp-sim.log"
  fi

  # The simulator's screen view in headless Chromium while a workflow runs; its
  # screenshot stays in the build folder as an artefact.
  run_program integration "screen view in chromium" "$dir/ci-screen-view.log" \
    "$RV270_REPO/tests/view/run.sh" "$dir"
  if [ -s "$dir/screen-view.png" ]; then
    result "integration: screen view screenshot" passed "$dir/screen-view.png"
  else
    result "integration: screen view screenshot" failed "see $dir/ci-screen-view.log"
  fi
  unset RV270_COM9
}

# check_zip STAGE ZIP: the drop holds the DLL, import library, .def, header, README and
# the examples.
check_zip() {
  local stage=$1 zip=$2 listing missing=() f
  listing=$(cmake -E tar tf "$zip" 2>&1)
  for f in bin/QornRV270API.dll lib/libQornRV270API.dll.a lib/QornRV270API.def \
    include/QornRV270API.h README-integrators.md exports-implemented.txt \
    examples/teller_demo.cpp bin/teller_demo.exe bin/rv270-sim.exe \
    lib/cmake/QornRV270API/QornRV270APIConfig.cmake lib/pkgconfig/QornRV270API.pc; do
    grep -q "/$f\$" <<<"$listing" || missing+=("$f")
  done
  if [ ${#missing[@]} -eq 0 ]; then
    result "packages: $stage zip" passed "$(basename "$zip")"
  else
    result "packages: $stage zip" failed "$(basename "$zip") lacks ${missing[*]}"
  fi
}

# link_against_zip ARCH ZIP: the consumer program builds against the unpacked drop
# through its CMake package, with the architecture's toolchain (import library and
# stdcall names as a Windows integrator meets them).
link_against_zip() {
  local arch=$1 zip=$2 dir cpu=x86_64
  [ "$arch" = win64 ] || cpu=i686
  dir=$(dirname "$zip")/consumer
  rm -rf "$dir" && mkdir -p "$dir"
  step_begin "packages: $arch consumer"
  if (cd "$dir" && cmake -E tar xf "$zip") &&
    run_logged "$dir/build.log" cmake -S "$RV270_REPO/tests/consumer" -B "$dir/build" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$RV270_REPO/cmake/toolchains/mingw-$cpu.cmake" \
      -DCMAKE_PREFIX_PATH="$(find "$dir" -maxdepth 1 -name 'QornRV270API-*' -type d)" \
      -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=BOTH &&
    cmake --build "$dir/build" >>"$dir/build.log" 2>&1; then
    result "packages: $arch consumer links" passed
    step_end "packages: $arch consumer" ok
  else
    result "packages: $arch consumer links" failed "see $dir/build.log"
    step_end "packages: $arch consumer" failed
  fi
}

stage_packages() {
  local arch dir examples zip
  mapfile -t examples < <(find "$RV270_REPO/examples" -maxdepth 1 -name '*.cpp' -printf '%f\n' | sed 's/\.cpp$//' | sort)
  for arch in win32 win64; do
    dir=$(build_dir "$arch")
    configure_and_build "packages $arch" "$arch" QornRV270API rv270-sim "${examples[@]}" || continue
    step_begin "packages: $arch zip"
    rm -rf "$dir/packages"
    if run_logged "$dir/ci-cpack.log" cpack --config "$dir/CPackConfig.cmake" -B "$dir/packages"; then
      zip=$(find "$dir/packages" -maxdepth 1 -name 'QornRV270API-*.zip' -print -quit)
      step_end "packages: $arch zip" ok "$zip"
      check_zip "$arch" "$zip"
      link_against_zip "$arch" "$zip"
    else
      step_end "packages: $arch zip" FAILED "see $dir/ci-cpack.log"
    fi
  done
}

trap 'stop_com_pair; stop_lane' EXIT
trap 'echo "interrupted" >&2; exit 130' INT TERM

# ---------------------------------------------------------------------------------------

TOTAL_START=$SECONDS
install_packages
[ "$INSTALL_ONLY" -eq 0 ] || STAGES=()
for stage in "${STAGES[@]}"; do
  case "$stage" in
    linux) stage_linux ;;
    linux-asan) stage_linux_asan ;;
    linux-tsan) stage_linux_tsan ;;
    fuzz) stage_fuzz ;;
    win32 | win64) stage_windows "$stage" ;;
    linux-aarch64) stage_linux_aarch64 ;;
    integration) stage_integration ;;
    packages) stage_packages ;;
  esac
done
lane_wait

note "summary (build folders in $RV270_BUILD_ROOT)"
echo "steps:"
[ ${#STEP_LINES[@]} -eq 0 ] || printf '  %s\n' "${STEP_LINES[@]}"
echo "results:"
[ ${#RESULT_LINES[@]} -eq 0 ] || printf '  %s\n' "${RESULT_LINES[@]}"
printf 'total time: %dm%02ds\n' $(((SECONDS - TOTAL_START) / 60)) $(((SECONDS - TOTAL_START) % 60))
echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
