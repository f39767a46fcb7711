#!/usr/bin/env bash
# Every test: the hosted build (Debug) and its tests, the same under AddressSanitizer
# and UndefinedBehaviorSanitizer, then the Windows x86 driver korvaxser.sys and its
# image checks. Stops at the first failure.
#
# usage: scripts/test.sh [PRESET...]   (default: default asan windows-x86;
#                                       also available: release tsan)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# shellcheck source=scripts/setup.sh
source "$root/scripts/setup.sh" || {
    echo "test: the build tools are not installed (see above)" >&2
    exit 1
}

presets=("$@")
if [[ ${#presets[@]} -eq 0 ]]; then
    presets=(default asan windows-x86)
fi

jobs=${KORVAX_JOBS:-2}

step() {
    local preset=$1 what=$2
    shift 2
    echo
    echo "==> [$preset] $what"
    if ! "$@"; then
        echo >&2
        echo "test: FAILED: $what of preset '$preset'" >&2
        echo "test: rerun with: $*" >&2
        exit 1
    fi
}

for preset in "${presets[@]}"; do
    step "$preset" configure cmake --preset "$preset"
    step "$preset" build cmake --build --preset "$preset" -j"$jobs"
    step "$preset" tests ctest --preset "$preset"
done

echo
echo "test: all passed (${presets[*]})"
