# Shared by the scripts in this folder (sourced, not run).
#
# Environment:
#   RV270_BUILD_ROOT  folder that holds the build folders (default: build/ in the
#                     repository); each configuration builds in $RV270_BUILD_ROOT/<preset>
#   RV270_JOBS        parallel build jobs (default 2)

RV270_REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
RV270_BUILD_ROOT=${RV270_BUILD_ROOT:-$RV270_REPO/build}
RV270_JOBS=${RV270_JOBS:-2}

note() { printf '\n== %s  %s\n' "$(date +%H:%M:%S)" "$*"; }
warn() { printf '!! %s\n' "$*" >&2; }

# build_dir PRESET: the build folder of a configure preset.
build_dir() { printf '%s/%s\n' "$RV270_BUILD_ROOT" "$1"; }

# configure_preset PRESET [cmake args...]: configures the preset's build folder (the
# presets in CMakePresets.json hold the settings; the folder follows RV270_BUILD_ROOT).
configure_preset() {
  local preset=$1
  shift
  (cd "$RV270_REPO" && cmake --preset "$preset" -B "$(build_dir "$preset")" "$@")
}

# build_targets DIR [target...]: builds the named targets (all when none), keeping on
# after a failed step so that every target that can be built is built.
build_targets() {
  local dir=$1
  shift
  local args=()
  [ $# -eq 0 ] || args=(--target "$@")
  cmake --build "$dir" -j "$RV270_JOBS" "${args[@]}" -- -k 0
}

# existing_targets DIR name...: prints those of the names that the build folder defines
# (sources still to come leave some targets out).
existing_targets() {
  local dir=$1
  shift
  local all
  all=$(ninja -C "$dir" -t targets all 2>/dev/null | sed 's/: .*//')
  local t
  for t in "$@"; do
    if grep -qxF "$t" <<<"$all"; then printf '%s\n' "$t"; fi
  done
}

# run_capped MB SECONDS command...: runs the command (not in a pipeline: its own pid is
# watched) and kills it when its resident memory passes MB megabytes or it runs longer
# than SECONDS. A runaway test then fails alone instead of starving the machine (the
# sanitizers' own limits do not cover ThreadSanitizer). Returns the command's status,
# 137 when it was killed.
run_capped() {
  local mb=$1 seconds=$2
  shift 2
  "$@" &
  local pid=$! start=$SECONDS rss
  while kill -0 "$pid" 2>/dev/null; do
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null)
    if [ "${rss:-0}" -gt $((mb * 1024)) ]; then
      warn "$* passed the memory cap of $mb MB: stopped"
      kill -KILL "$pid" 2>/dev/null
    elif [ $((SECONDS - start)) -ge "$seconds" ]; then
      warn "$* ran longer than $seconds s: stopped"
      kill -KILL "$pid" 2>/dev/null
    fi
    sleep 0.5
  done
  wait "$pid"
}

# ---------------------------------------------------------------------------------------
# Debian packages.

# What the native build needs (the library, tests, simulator, examples, benchmarks).
BASE_PACKAGES=(build-essential cmake ninja-build googletest libgtest-dev libbenchmark-dev file libcli11-dev
  umockdev libumockdev-dev gir1.2-umockdev-1.0)

# missing_packages name...: prints those of the packages that are not installed.
missing_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^ii' || printf '%s\n' "$p"
  done
}

# apt_install name...: installs the packages with apt-get (as root, or through sudo
# without a password), adding the architecture of names such as wine32:i386 or libc6:arm64. On failure prints
# the reason on standard output and returns 1; apt-get's own output goes to stderr.
apt_install() {
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
      sudo=(sudo -n)
    else
      echo "not root and no sudo; install: $*"
      return 1
    fi
  fi
  if ! command -v apt-get >/dev/null; then
    echo "no apt-get; install: $*"
    return 1
  fi
  # Packages of another architecture (wine32:i386, libc6:arm64) need it added first.
  local arch
  for arch in $(printf '%s\n' "$@" | sed -n 's/^[^:]*:\(.*\)$/\1/p' | sort -u); do
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      "${sudo[@]}" dpkg --add-architecture "$arch" >&2 || { echo "cannot add the $arch architecture"; return 1; }
    fi
  done
  # One retry covers a mirror that answers badly once.
  local try
  for try in 1 2; do
    if DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get update -q >&2 &&
      DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q "$@" >&2; then
      return 0
    fi
    [ "$try" -eq 2 ] || sleep 10
  done
  echo "apt-get could not install: $*"
  return 1
}
