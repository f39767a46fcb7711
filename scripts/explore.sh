#!/usr/bin/env bash
# The explorer: runs the scenarios of tests/explore under the hosted kernel's
# controlled scheduler, one seed after another, and exits non-zero with the first
# finding of each scenario (its seed, the replay command and the shrunk schedule).
# With no arguments every scenario is explored for KORVAX_EXPLORE_SECONDS in all
# (default 150), with seeds taken from the commit; other arguments go to the
# explorer (--help lists them), e.g.
#
#   scripts/explore.sh --scenario read_against_cancel --seconds 600   # a longer run
#   scripts/explore.sh --scenario read_against_cancel --replay 1234   # one finding again
#   scripts/explore.sh --preset hosted-x86 --seconds 60               # the packaged image
#   scripts/explore.sh --mutants [ID...]                             # the race-only mutants
#
# usage: scripts/explore.sh [--preset PRESET] [--mutants [ID...] | EXPLORER-ARGUMENTS...]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# shellcheck source=scripts/setup.sh
source "$root/scripts/setup.sh" || {
    echo "explore: the build tools are not installed (see above)" >&2
    exit 1
}

preset=default
if [[ ${1:-} == --preset ]]; then
    preset=$2
    shift 2
fi
seconds=${KORVAX_EXPLORE_SECONDS:-150}
# In the sanitizer builds the first report ends the run, as in their test suites.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
base=$((16#$(git -C "$root" rev-parse HEAD | cut -c1-12)))

if [[ ${1:-} == --mutants ]]; then
    shift
    exec python3 "$root/tests/explore/race_mutants.py" --root "$root" --seed "$base" "$@"
fi

if [[ -z ${KORVAX_EXPLORE_NO_BUILD:-} ]]; then
    [[ -f build/$preset/CMakeCache.txt ]] || cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"${KORVAX_JOBS:-2}" --target explore >/dev/null
fi
if [[ $# -eq 0 ]]; then
    set -- --seconds "$seconds" --seed "$base"
fi
exec "build/$preset/tests/explore" "$@"
