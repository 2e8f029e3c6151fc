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
      warn "$1 passed the memory cap of $mb MB: stopped"
      kill -KILL "$pid" 2>/dev/null
    elif [ $((SECONDS - start)) -ge "$seconds" ]; then
      warn "$1 ran longer than $seconds s: stopped"
      kill -KILL "$pid" 2>/dev/null
    fi
    sleep 0.5
  done
  wait "$pid"
}
