#!/usr/bin/env bash
# The demo on a busy machine: runs ./scripts/demo.sh N times (default 50), each
# beside three CPU-bound processes, and prints how many runs passed. The first run
# builds; the others reuse the build. Each failing run's output is kept in
# build/default/demo-under-load/run-K.log.
#
# usage: scripts/demo-under-load.sh [N] [DEMO-ARG...]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=${1:-50}
shift || true
if ! [[ $runs =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: scripts/demo-under-load.sh [N] [DEMO-ARG...]" >&2
    exit 2
fi

logs=$root/build/default/demo-under-load
mkdir -p "$logs"
rm -f "$logs"/run-*.log

# Three busy loops, stopped however this script ends.
load=()
stop_load() {
    if ((${#load[@]})); then
        kill "${load[@]}" 2>/dev/null || true
        wait "${load[@]}" 2>/dev/null || true
    fi
}
trap stop_load EXIT
for _ in 1 2 3; do
    (while :; do :; done) &
    load+=($!)
done

passed=0
for ((run = 1; run <= runs; run++)); do
    log=$logs/run-$run.log
    if "$root/scripts/demo.sh" --quiet "$@" >"$log" 2>&1; then
        passed=$((passed + 1))
        rm -f "$log"
        echo "run $run: passed"
    else
        echo "run $run: FAILED ($(tail -n 1 "$log")); output in ${log#"$root"/}"
    fi
done
echo "demo under load: $passed of $runs runs passed (three CPU-bound processes beside it)"
((passed == runs))
