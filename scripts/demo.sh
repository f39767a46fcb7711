#!/usr/bin/env bash
# The simulator demo: builds the hosted Debug build and runs
# "korvaxsim demo [ARG...]", the driver loaded on the hosted kernel with a
# simulated USB EV-DO modem.
#
# usage: scripts/demo.sh [ARG...]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# shellcheck source=scripts/setup.sh
source "$root/scripts/setup.sh" || {
    echo "demo: the build tools are not installed (see above)" >&2
    exit 1
}

preset=default
build_dir=$root/build/$preset
mkdir -p "$build_dir"
log=$build_dir/demo-build.log

if [[ ! -f $root/tools/korvaxsim.cpp ]]; then
    echo "demo: FAILED: tools/korvaxsim.cpp is not in the tree yet, there is no program to run" >&2
    exit 1
fi

# Only the program and what it links are built; the build output goes to a log so
# that the demo's own output stands alone.
echo "demo: building korvaxsim (preset $preset, log in ${log#"$root"/})" >&2
if ! { cmake --preset "$preset" &&
    cmake --build --preset "$preset" -j"${KORVAX_JOBS:-2}" --target korvaxsim; } >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "demo: FAILED: the build failed; the full log is $log" >&2
    exit 1
fi

exec "$build_dir/tools/korvaxsim" demo "$@"
