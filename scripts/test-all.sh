#!/usr/bin/env bash
# Builds every target and runs every test, from a fresh Debian 12 machine:
#
#   install     the Debian packages that are missing (build tools, GoogleTest, Google
#               Benchmark, clang with libFuzzer, mingw-w64, Wine, socat; for the later
#               stages the aarch64 cross compiler, qemu-user, pytest, pip and Mono), skipped
#               when all are present
#   linux       native RelWithDebInfo build of all targets; ctest (with the device-stack
#               tests: the real hidraw backend against emulated terminals, umockdev); export
#               check of the .so; a 120 s soak run (rv270-soak); the teller demo against the
#               simulator (scripts/demo.sh); one short pass of the benchmarks
#   coverage    gcc --coverage build (no ccache) of the unit, family, device-stack and CLI
#               tests; runs them (the linux stage then leaves them out) and reports line
#               and branch coverage of src/ with gcovr: per folder and per file of
#               src/platform/posix in the summary, the HTML report in
#               build/coverage/coverage/index.html
#   linux-asan  AddressSanitizer + UndefinedBehaviorSanitizer build of the unit, family and
#               device-stack tests and of the fuzz targets' replay of their kept inputs; ctest;
#               a 60 s soak run
#   linux-tsan  ThreadSanitizer build of the family tests; the cancel and concurrency tests
#               (threads calling exports on USB and serial at once, with cancels); a 60 s
#               soak run with the log pause off
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
#               and the customer at its page through WebDriver (build/linux/view-*.png)
#   packages    the Windows drops: one CPack ZIP per architecture (win32, win64), with
#               their contents checked; under Wine, the drop's rv270.exe (--version, find,
#               status) against the drop's rv270-sim.exe; the C# binding's NuGet package
#               (both DLLs under runtimes/), its contents checked
#
# usage: scripts/test-all.sh [--no-install | --install-only] [--only STAGE[,STAGE...]]
#   --no-install    do not install packages, even when some are missing
#   --install-only  install the missing packages (of the chosen stages) and stop
#   --only          run only these of: linux, coverage, linux-asan, linux-tsan, fuzz, win32, win64,
#                   linux-aarch64, packages, integration
#
# Environment: RV270_BUILD_ROOT (build folders, default build/), RV270_JOBS (default 2),
# RV270_TEST_TIMEOUT (seconds per test program, default 900), RV270_FUZZ_SECONDS (seconds
# per fuzz target, default 12).
#
# Stages build one after the other; each stage's tests run in the background while the next
# stage builds (one Linux lane at a time, and each Windows stage's lane in its own Wine
# prefix beside it; a lane's output is printed when it ends).
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
ALL_STAGES=(linux coverage linux-asan linux-tsan fuzz win32 win64 linux-aarch64 integration packages)
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
# program from ctest's result lines ("1/3 Test #1: unit ....   Passed   0.52 sec"). A
# program that fails is run once more (the simulators' timing under a loaded machine makes
# a rare failure that a second run does not repeat); one that then passes is recorded as
# passed with "after a failed first run" and its first run's output stays in the log.
run_ctest() {
  local stage=$1 dir=$2
  shift 2
  local log=$dir/ci-ctest.log
  step_begin "$stage: tests"
  # The test programs mostly wait on their simulators: two run at a time, except where
  # they share one COM port pair (CTEST_JOBS=1).
  (cd "$dir" && run_logged "$log" ctest --output-on-failure --parallel "${CTEST_JOBS:-2}" --timeout "$TEST_TIMEOUT" \
    --repeat until-pass:2 "$@")
  local rc=$?
  local seen=0 line name
  local -a names=()
  local -A outcome=() detail=() again=()
  while IFS= read -r line; do
    # A first run's line carries "N/M"; a second run's line does not.
    [[ $line =~ ^\ *([0-9]+/[0-9]+\ +)?Test\ +\#[0-9]+:\ +([^ ]+) ]] || continue
    name=${BASH_REMATCH[2]}
    if [ -n "${outcome[$name]+x}" ]; then again[$name]=1; else names+=("$name"); fi
    if [[ $line == *" Passed "* ]]; then
      outcome[$name]=passed
      detail[$name]=$(sed 's/.* Passed *//' <<<"$line")
    elif [[ $line == *Skipped* ]]; then
      outcome[$name]=skipped
    else
      outcome[$name]=failed
      detail[$name]=$(sed 's/.*\*\*\*//; s/\.\.\.*//' <<<"$line" | tr -s ' ')
    fi
  done <"$log"
  for name in "${names[@]}"; do
    seen=$((seen + 1))
    case ${outcome[$name]} in
      passed) result "$stage: $name" passed "${detail[$name]}${again[$name]:+ after a failed first run (see $log)}" ;;
      skipped) result "$stage: $name" skipped ;;
      *) result "$stage: $name" failed "${detail[$name]}${again[$name]:+ (twice)}" ;;
    esac
  done
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
COVERAGE_PACKAGES=(gcovr)
INTEGRATION_PACKAGES=(python3-pytest python3-pip python3-setuptools pkg-config mono-devel
  chromium fonts-wqy-zenhei)
# The Python wheel is built offline (setuptools' bdist_wheel needs python3-wheel),
# installed into a fresh venv and type-checked with mypy; the packages stage packs the
# C# binding with nuget.
INTEGRATION_PACKAGES+=(python3-wheel python3-venv mypy)
PACKAGING_PACKAGES=(mono-devel nuget)
# The customer at the screen view, in Chromium driven by WebDriver (openssl computes the
# PIN block the test expects).
INTEGRATION_PACKAGES+=(chromium-driver python3-selenium openssl)

install_packages() {
  local wanted=("${BASE_PACKAGES[@]}")
  if wants fuzz; then wanted+=("${FUZZ_PACKAGES[@]}"); fi
  if wants coverage; then wanted+=("${COVERAGE_PACKAGES[@]}"); fi
  if wants win32 || wants win64 || wants packages; then wanted+=("${WINDOWS_PACKAGES[@]}"); fi
  if wants win32 || wants win64; then wanted+=("${WINHID_PACKAGES[@]}"); fi
  if wants linux-aarch64; then wanted+=("${AARCH64_PACKAGES[@]}"); fi
  if wants integration; then wanted+=("${INTEGRATION_PACKAGES[@]}"); fi
  if wants packages; then wanted+=("${PACKAGING_PACKAGES[@]}"); fi
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

# ---- Soak runs (rv270-soak) ------------------------------------------------------------
# run_soak STAGE DIR SECONDS SEED [VAR=value...] [WRAPPER...]: the soak program (under
# the wrapper command, if any) against a copy of the build's shipped library in a folder
# of its own (its log folder is then the soak's alone), in the stage's lane. The seeds are those that found the faults mended with the
# soak (a serial cancel waiting out its time, a failed serial upload leaving its file):
# each run replays its seed's schedule as far as the threads' timing allows.
run_soak() {
  local stage=$1 dir=$2 seconds=$3 seed=$4
  shift 4
  local exe=$dir/tests/rv270-soak run=$dir/ci-soak log=$dir/ci-soak.log
  [ -x "$exe" ] || return 0
  rm -rf "$run"
  mkdir -p "$run"
  cp -a "$exe" "$dir"/libQornRV270API.so* "$run/"
  step_begin "$stage: soak ${seconds}s seed $seed"
  if run_logged "$log" env LD_LIBRARY_PATH="$run" "$@" \
    timeout $((seconds + 180)) "$run/rv270-soak" --seed "$seed" --seconds "$seconds" --threads 4; then
    result "$stage: soak" passed "$(tail -n 1 "$log")"
    step_end "$stage: soak ${seconds}s seed $seed" ok
  else
    result "$stage: soak" failed "$(grep -c '^VIOLATION' "$log") violation(s), see $log"
    step_end "$stage: soak ${seconds}s seed $seed" failed
  fi
}

# ---------------------------------------------------------------------------------------
# Test lanes. Building keeps both cores busy, while the test programs mostly wait on their
# simulators; so a stage's tests run in the background while the next stage builds.
# Lanes come in groups, one lane of a group at a time: the Linux programs (native, the
# sanitizer builds and qemu-user alike) share the machine's named semaphores, so their
# stages never run at once; each Windows stage runs in its own Wine prefix, whose Wine
# server holds that prefix's named objects, so a Windows lane runs beside a Linux one.
# A lane's output goes to its log and is printed when it ends; its steps and results
# join the summary then.

declare -A LANE_PID=() LANE_NAME=() LANE_BASE=()
LANE_DIR=$RV270_BUILD_ROOT/ci-lanes
LANE_COUNT=0

# lane_group NAME: the group of a stage's lane (its Wine prefix, or the Linux one).
lane_group() {
  case "$1" in
    win32 | win64 | packages) echo "$1" ;;
    *) echo linux ;;
  esac
}

# lane_start NAME command...: waits for the running lane of the same group, then runs
# the command in the background.
lane_start() {
  local group
  group=$(lane_group "$1")
  lane_wait "$group"
  LANE_NAME[$group]=$1
  shift
  LANE_COUNT=$((LANE_COUNT + 1))
  local base=$LANE_DIR/$LANE_COUNT
  LANE_BASE[$group]=$base
  mkdir -p "$LANE_DIR"
  note "${LANE_NAME[$group]}: tests start in the background (output: $base.log)"
  (
    STEP_LINES=() RESULT_LINES=() PASSED=0 FAILED=0
    "$@" >"$base.log" 2>&1
    { [ ${#STEP_LINES[@]} -eq 0 ] || printf '%s\n' "${STEP_LINES[@]}"; } >"$base.steps"
    { [ ${#RESULT_LINES[@]} -eq 0 ] || printf '%s\n' "${RESULT_LINES[@]}"; } >"$base.results"
    echo "$PASSED $FAILED" >"$base.counts"
  ) &
  LANE_PID[$group]=$!
}

# lane_wait [GROUP]: waits for the running lane of the group (of every group when none
# is named), prints its output and takes in its steps and results (a lane that ended
# without its record counts as one failure).
lane_wait() {
  local groups=("$@") group
  [ $# -gt 0 ] || groups=("${!LANE_PID[@]}")
  for group in "${groups[@]}"; do
    local pid=${LANE_PID[$group]:-}
    [ -n "$pid" ] || continue
    wait "$pid"
    local base=${LANE_BASE[$group]} name=${LANE_NAME[$group]} line passed failed
    note "$name: tests ended (background output follows)"
    cat "$base.log" 2>/dev/null
    if [ -f "$base.counts" ]; then
      while IFS= read -r line; do STEP_LINES+=("$line"); done <"$base.steps"
      while IFS= read -r line; do RESULT_LINES+=("$line"); done <"$base.results"
      read -r passed failed <"$base.counts"
      PASSED=$((PASSED + passed))
      FAILED=$((FAILED + failed))
    else
      result "$name: tests" failed "the background lane ended without its record, see $base.log"
    fi
    LANE_PID[$group]=
  done
}

stop_lane() {
  local pid
  for pid in "${LANE_PID[@]}"; do
    [ -n "$pid" ] || continue
    pkill -TERM -P "$pid" 2>/dev/null
    kill "$pid" 2>/dev/null
  done
}

stage_linux() {
  local dir
  dir=$(build_dir linux)
  configure_and_build linux linux || return
  lane_start linux linux_checks "$dir"
}

linux_checks() {
  local dir=$1
  # The tests the coverage stage runs are left to it when it runs too.
  if wants coverage; then
    run_ctest linux "$dir" -E "^($COVERAGE_TESTS)\$"
  else
    run_ctest linux "$dir"
  fi
  run_export_check linux "$dir" linux
  run_soak linux "$dir" 120 1
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

# ---------------------------------------------------------------------------------------
# Coverage: the Linux test programs built with gcc --coverage (the coverage preset; no
# ccache, whose cached objects would not write their notes files) run once, and gcovr
# reports the library's own objects (the shipped .so and the static test core) over src/.

# The ctest names the coverage stage runs (those that exist in the build).
COVERAGE_TESTS='unit|family_core|family_lib|family_lib_paced|devstack|cli'

# coverage_programs DIR: the build targets of those tests, from the test files ctest
# reads (the program of a test is named like its target).
coverage_programs() {
  grep -rhoE "add_test\(\[=\[($COVERAGE_TESTS)\]=\] \"[^\"]+\"" "$1" --include=CTestTestfile.cmake |
    sed -E 's/.*"([^"]+)"$/\1/; s|.*/||; s/\.exe$//' | sort -u
}

stage_coverage() {
  local dir programs=()
  dir=$(build_dir coverage)
  step_begin "coverage: configure"
  mkdir -p "$dir"
  if ! run_logged "$dir/ci-configure.log" configure_preset coverage \
    -UCMAKE_CXX_COMPILER_LAUNCHER -UCMAKE_C_COMPILER_LAUNCHER; then
    step_end "coverage: configure" FAILED "see $dir/ci-configure.log"
    return
  fi
  step_end "coverage: configure" ok
  mapfile -t programs < <(coverage_programs "$dir")
  step_begin "coverage: build"
  if [ ${#programs[@]} -eq 0 ]; then
    step_end "coverage: build" FAILED "no test program found for the tests $COVERAGE_TESTS"
    return
  fi
  if run_logged "$dir/ci-build.log" build_targets "$dir" "${programs[@]}"; then
    step_end "coverage: build" ok "${programs[*]}"
  else
    step_end "coverage: build" FAILED "$(grep -c '^FAILED: ' "$dir/ci-build.log") failed build step(s), see $dir/ci-build.log"
  fi
  lane_start coverage coverage_tests "$dir"
}

coverage_tests() {
  local dir=$1 report=$1/coverage
  find "$dir" -name '*.gcda' -delete
  run_ctest coverage "$dir" -R "^($COVERAGE_TESTS)\$"
  step_begin "coverage: report"
  rm -rf "$report" && mkdir -p "$report"
  # Branches gcc adds for exceptions and those it proves unreachable are left out.
  if run_logged "$report/gcovr.log" gcovr --root "$RV270_REPO" --filter 'src/' -j "$RV270_JOBS" \
    --exclude-throw-branches --exclude-unreachable-branches \
    --json-summary "$report/summary.json" --html-details "$report/index.html" \
    "$dir/CMakeFiles/rv270_obj.dir" "$dir/CMakeFiles/rv270_testcore.dir" &&
    [ -s "$report/summary.json" ]; then
    local line
    while IFS= read -r line; do
      STEP_LINES+=("$(printf '%-28s %-8s %5s   %s' "coverage" - - "$line")")
    done < <("$RV270_REPO/scripts/coverage-summary.py" "$report/summary.json" | tee "$report/summary.txt")
    result "coverage: report" passed "$report/index.html"
    step_end "coverage: report" ok "$(head -1 "$report/summary.txt" | sed 's/  */ /g')"
  else
    result "coverage: report" failed "see $report/gcovr.log"
    step_end "coverage: report" failed
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
    rv270_unit_tests rv270_family_tests_core rv270_family_tests_lib rv270_devstack_tests \
    rv270-soak $(replay_targets) || return
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
    run_ctest linux-asan "$dir" -R '^(unit|family_core|family_lib|devstack|fuzz_replay_.*)$'
  ASAN_OPTIONS="detect_leaks=$leaks" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    run_soak linux-asan "$dir" 60 2
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
  configure_and_build linux-tsan linux-tsan rv270_family_tests_core rv270-soak || return
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
  # The shipped library's 20 ms pause after each log line off: more calls meet each other.
  run_soak linux-tsan "$dir" 60 3 RV270_LOG_PAUSE_MS=0 TSAN_OPTIONS="halt_on_error=0 second_deadlock_stack=1" \
    setarch "$(uname -m)" -R
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
  # As with the ctest programs, a failed run is repeated once (run.sh starts Wine afresh);
  # the first run's output is kept beside the log.
  local name="winhid (Wine HID stack)" log=$dir/ci-winhid.log
  local run=(timeout "$TEST_TIMEOUT" "$RV270_REPO/tests/winhid/run.sh" "$dir" "$terminal")
  step_begin "$stage: $name"
  if WINE=$WINE run_logged "$log" "${run[@]}"; then
    result "$stage: $name" passed
    step_end "$stage: $name" ok
    return
  fi
  mv -f "$log" "$dir/ci-winhid-first.log"
  if WINE=$WINE run_logged "$log" "${run[@]}"; then
    result "$stage: $name" passed "after a failed first run (see $dir/ci-winhid-first.log)"
    step_end "$stage: $name" ok
  else
    result "$stage: $name" failed "see $log and $dir/ci-winhid-first.log"
    step_end "$stage: $name" failed
  fi
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

# The C# binding's sources (the managed assembly Qorn.RV270.dll of the NuGet package).
CSHARP_BINDING=("$RV270_REPO/csharp/QornRV270API.cs" "$RV270_REPO/csharp/QornRV270API.Native.cs"
  "$RV270_REPO/csharp/QornRV270API.Tasks.cs")
CSHARP_FLAGS=(-nologo -warn:4 -warnaserror)

stage_integration() {
  local dir
  dir=$(build_dir linux)
  configure_and_build integration linux QornRV270API rv270-sim rv270 || return
  local sim=$dir/sim/rv270-sim
  # A serial port whose device does not exist, for the failure checks.
  export RV270_COM9=$dir/no-such-port

  run_program integration "consumer (CMake package, pkg-config)" "$dir/ci-consumer.log" \
    "$RV270_REPO/tests/consumer/run.sh" "$dir"

  # The Python package as an integrator gets it: a wheel built offline from a copy of
  # python/ (the build leaves files beside its sources), installed without the network
  # into a fresh venv, whose Python runs the tests (pytest from Debian's packages).
  local py=$dir/python
  rm -rf "$py" && mkdir -p "$py" && cp -r "$RV270_REPO/python" "$py/src"
  run_program integration "python: wheel" "$dir/ci-python-wheel.log" \
    /usr/bin/python3 -m pip wheel --no-build-isolation --no-index --no-deps -w "$py/dist" "$py/src"
  run_program integration "python: venv and offline install" "$dir/ci-python-install.log" \
    bash -c '/usr/bin/python3 -m venv "$1/venv" &&
      "$1/venv/bin/python" -m pip install --no-index --no-deps "$1"/dist/qornrv270-*.whl &&
      "$1/venv/bin/python" -c "import qornrv270, os; p = os.path.dirname(qornrv270.__file__); print(p)
assert p.startswith(\"$1/venv/\") and os.path.isfile(os.path.join(p, \"py.typed\"))"' - "$py"
  RV270_SOURCE_DIR=$RV270_REPO RV270_SIM_PROGRAM=$sim PYTHONPATH=/usr/lib/python3/dist-packages \
    QORNRV270_LIBRARY=$dir/libQornRV270API.so.1 run_program integration "python: pytest" "$dir/ci-python-tests.log" \
    "$py/venv/bin/python" -m pytest -p no:cacheprovider -v "$py/src/tests"
  # Its type hints: the package itself, and a caller's code against the installed wheel
  # (which mypy reads through the package's py.typed marker).
  run_program integration "python: mypy" "$dir/ci-python-mypy.log" \
    bash -c 'mypy --strict --cache-dir "$1/mypy-cache" "$1/src/qornrv270" &&
      mypy --strict --cache-dir "$1/mypy-cache" --python-executable "$1/venv/bin/python" \
        "$1/src/tests/typed_usage.py"' - "$py"

  mkdir -p "$dir/csharp"
  run_program integration "csharp: build" "$dir/ci-csharp-build.log" \
    mcs "${CSHARP_FLAGS[@]}" -out:"$dir/csharp/RV270Example.exe" "$RV270_REPO"/csharp/*.cs
  # The binding as the NuGet package carries it, and the tests of its Task-based waits
  # (cancelling sends the cancel export) against the library and simulators they start.
  run_program integration "csharp: binding" "$dir/ci-csharp-binding.log" \
    mcs "${CSHARP_FLAGS[@]}" -target:library -out:"$dir/csharp/Qorn.RV270.dll" "${CSHARP_BINDING[@]}"
  run_program integration "csharp: task tests build" "$dir/ci-csharp-tasks-build.log" \
    mcs "${CSHARP_FLAGS[@]}" -r:"$dir/csharp/Qorn.RV270.dll" -out:"$dir/csharp/RV270TaskTests.exe" \
    "$RV270_REPO/csharp/tests/TaskTests.cs"
  LD_LIBRARY_PATH=$dir run_program integration "csharp: task waits and cancellation" "$dir/ci-csharp-tasks.log" \
    mono "$dir/csharp/RV270TaskTests.exe" "$sim"
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
  # The customer at the page (same run): one screenshot per step.
  local shots
  shots=$(cd "$dir" && ls view-*.png 2>/dev/null | tr '\n' ' ')
  if [ -n "$shots" ]; then
    result "integration: customer at the page screenshots" passed "$shots"
  else
    result "integration: customer at the page screenshots" failed "see $dir/ci-screen-view.log"
  fi
  unset RV270_COM9
}

# check_zip STAGE ZIP: the drop holds the DLL, import library, .def, header, README,
# the examples, the simulator and rv270.exe.
check_zip() {
  local stage=$1 zip=$2 listing missing=() f
  listing=$(cmake -E tar tf "$zip" 2>&1)
  for f in bin/QornRV270API.dll lib/libQornRV270API.dll.a lib/QornRV270API.def \
    include/QornRV270API.h README-integrators.md exports-implemented.txt \
    examples/teller_demo.cpp bin/teller_demo.exe bin/rv270-sim.exe bin/rv270.exe \
    lib/cmake/QornRV270API/QornRV270APIConfig.cmake lib/pkgconfig/QornRV270API.pc; do
    grep -q "/$f\$" <<<"$listing" || missing+=("$f")
  done
  if [ ${#missing[@]} -eq 0 ]; then
    result "packages: $stage zip" passed "$(basename "$zip")"
  else
    result "packages: $stage zip" failed "$(basename "$zip") lacks ${missing[*]}"
  fi
}

# check_zip_imports STAGE TOP: the drop's programs and DLL import system DLLs only (the
# GCC runtime, libstdc++ and winpthread are linked in: nothing beside them is missing).
check_zip_imports() {
  local stage=$1 top=$2 file foreign=()
  for file in "$top"/bin/*.exe "$top"/bin/*.dll; do
    [ -f "$file" ] || continue
    if x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p' |
      grep -qiE '^lib|^(msvcp|vcruntime|ucrtbase)'; then
      foreign+=("$(basename "$file")")
    fi
  done
  if [ ${#foreign[@]} -eq 0 ]; then
    result "packages: $stage programs import system DLLs only" passed
  else
    result "packages: $stage programs import system DLLs only" failed "${foreign[*]} import runtime DLLs"
  fi
}

# link_against_zip ARCH TOP: the consumer program builds against the unpacked drop TOP
# through its CMake package, with the architecture's toolchain (import library and
# stdcall names as a Windows integrator meets them).
link_against_zip() {
  local arch=$1 top=$2 dir cpu=x86_64
  [ "$arch" = win64 ] || cpu=i686
  dir=$(dirname "$top")/consumer
  rm -rf "$dir" && mkdir -p "$dir"
  step_begin "packages: $arch consumer"
  if run_logged "$dir/build.log" cmake -S "$RV270_REPO/tests/consumer" -B "$dir/build" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$RV270_REPO/cmake/toolchains/mingw-$cpu.cmake" \
      -DCMAKE_PREFIX_PATH="$top" -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=BOTH &&
    cmake --build "$dir/build" >>"$dir/build.log" 2>&1; then
    result "packages: $arch consumer links" passed
    step_end "packages: $arch consumer" ok
  else
    result "packages: $arch consumer links" failed "see $dir/build.log"
    step_end "packages: $arch consumer" failed
  fi
}

# zip_programs_under_wine ARCH BUILD TOP: from the unpacked drop TOP, under Wine (the
# prefix of the architecture's build folder): the drop's simulator, and rv270.exe
# --version, find and status against it over its TCP link.
zip_programs_under_wine() {
  local arch=$1 build=$2 top=$3
  local logs sim_pid='' address='' args
  logs=$(dirname "$top")
  local log=$logs/ci-wine-sim.log
  wine_env "$build" "$arch"
  if [ "$arch" = win32 ] && [ "$(runs_32bit_programs)" = 0 ]; then
    result "packages: $arch rv270.exe under Wine" skipped "this machine's kernel runs no 32-bit programs"
  elif init_wine_prefix "packages $arch"; then
    "$WINE" "$top/bin/rv270-sim.exe" --no-serial --seconds "$TEST_TIMEOUT" >"$log" 2>&1 &
    sim_pid=$!
    for _ in $(seq 150); do
      address=$(sed -n 's/^RV270_SIM=\([0-9.:]*\).*/\1/p' "$log")
      [ -n "$address" ] && break
      sleep 0.2
    done
    if [ -z "$address" ]; then
      result "packages: $arch rv270-sim.exe under Wine" failed "no address printed, see $log"
    else
      for args in --version "--json find" "--json status"; do
        # shellcheck disable=SC2086 # the arguments split on purpose
        RV270_SIM=$address run_program packages "$arch rv270.exe $args" "$logs/ci-wine-rv270-${args// /-}.log" \
          "$WINE" "$top/bin/rv270.exe" $args
      done
      if grep -q '"ready":true' "$logs/ci-wine-rv270---json-status.log"; then
        result "packages: $arch rv270.exe status reads ready" passed
      else
        result "packages: $arch rv270.exe status reads ready" failed "see $logs/ci-wine-rv270---json-status.log"
      fi
    fi
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
    wineserver -k 2>/dev/null
  fi
  unset WINEPREFIX WINEDEBUG WINEDLLOVERRIDES WINELOADER
}

# nuget_package DIR WIN32-TOP WIN64-TOP VERSION: the C# binding's NuGet package, with
# the managed assembly and the DLL of each unpacked drop, its contents checked.
nuget_package() {
  local dir=$1 top32=$2 top64=$3 version=$4 stage=$1/stage nupkg listing missing=() f
  rm -rf "$dir" && mkdir -p "$stage/lib/net45" "$stage/runtimes/win-x86/native" "$stage/runtimes/win-x64/native" "$dir/out"
  cp "$top32/bin/QornRV270API.dll" "$stage/runtimes/win-x86/native/" &&
    cp "$top64/bin/QornRV270API.dll" "$stage/runtimes/win-x64/native/"
  run_program packages "nuget: binding" "$dir/binding.log" \
    mcs "${CSHARP_FLAGS[@]}" -target:library -out:"$stage/lib/net45/Qorn.RV270.dll" "${CSHARP_BINDING[@]}"
  # nuget takes the package manifest under its own file name, made here from the source.
  cp "$RV270_REPO/csharp/Qorn.RV270.package.xml" "$dir/Qorn.RV270.nuspec"
  run_program packages "nuget: pack" "$dir/pack.log" \
    nuget pack "$dir/Qorn.RV270.nuspec" -NonInteractive -NoPackageAnalysis \
    -BasePath "$stage" -OutputDirectory "$dir/out" -Properties "version=$version"
  nupkg=$dir/out/Qorn.RV270.$version.nupkg
  listing=$(cmake -E tar tf "$nupkg" 2>&1)
  for f in Qorn.RV270.nuspec lib/net45/Qorn.RV270.dll runtimes/win-x86/native/QornRV270API.dll \
    runtimes/win-x64/native/QornRV270API.dll; do
    grep -qx "$f" <<<"$listing" || missing+=("$f")
  done
  # Each architecture's folder holds that architecture's DLL.
  mkdir -p "$dir/check" && (cd "$dir/check" && cmake -E tar xf "$nupkg")
  file "$dir/check/runtimes/win-x86/native/QornRV270API.dll" | grep -q 'PE32 .*Intel 80386' || missing+=("a 32-bit win-x86 DLL")
  file "$dir/check/runtimes/win-x64/native/QornRV270API.dll" | grep -q 'PE32+ .*x86-64' || missing+=("a 64-bit win-x64 DLL")
  if [ -f "$nupkg" ] && [ ${#missing[@]} -eq 0 ]; then
    result "packages: nupkg contents" passed "$(basename "$nupkg")"
  else
    result "packages: nupkg contents" failed "$(basename "$nupkg") lacks ${missing[*]}"
  fi
}

stage_packages() {
  local arch dir examples zip tops=() version=
  mapfile -t examples < <(find "$RV270_REPO/examples" -maxdepth 1 -name '*.cpp' -printf '%f\n' | sed 's/\.cpp$//' | sort)
  for arch in win32 win64; do
    dir=$(build_dir "$arch")
    configure_and_build "packages $arch" "$arch" QornRV270API rv270-sim rv270 "${examples[@]}" || continue
    step_begin "packages: $arch zip"
    rm -rf "$dir/packages"
    if run_logged "$dir/ci-cpack.log" cpack --config "$dir/CPackConfig.cmake" -B "$dir/packages"; then
      zip=$(find "$dir/packages" -maxdepth 1 -name 'QornRV270API-*.zip' -print -quit)
      step_end "packages: $arch zip" ok "$zip"
      check_zip "$arch" "$zip"
      mkdir -p "$dir/packages/unpacked"
      (cd "$dir/packages/unpacked" && cmake -E tar xf "$zip")
      local top
      top=$(find "$dir/packages/unpacked" -maxdepth 1 -name 'QornRV270API-*' -type d -print -quit)
      check_zip_imports "$arch" "$top"
      link_against_zip "$arch" "$top"
      tops+=("$arch" "$dir" "$top")
      version=$(basename "$zip" | sed 's/^QornRV270API-\(.*\)-win[0-9]*\.zip$/\1/')
    else
      step_end "packages: $arch zip" FAILED "see $dir/ci-cpack.log"
    fi
  done
  if [ ${#tops[@]} -eq 6 ]; then
    nuget_package "$(build_dir win64)/packages/nuget" "${tops[2]}" "${tops[5]}" "$version"
  else
    result "packages: nupkg contents" failed "needs both drops"
  fi
  # The drops' programs under Wine, once the Windows stages' tests are done with their
  # prefixes.
  lane_wait win32 win64
  [ ${#tops[@]} -eq 0 ] || lane_start packages zip_lane "${tops[@]}"
}

zip_lane() {
  while [ $# -ge 3 ]; do
    zip_programs_under_wine "$1" "$2" "$3"
    shift 3
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
    coverage) stage_coverage ;;
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
