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
