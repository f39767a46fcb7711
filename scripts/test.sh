#!/usr/bin/env bash
# Every test: the hosted build (Debug) and its tests, and the mutation check
# (scripts/mutants.sh); the same under AddressSanitizer
# and UndefinedBehaviorSanitizer, and under ThreadSanitizer; the Release build (its
# suites include the long chaos run); the fuzz targets (their seed corpora as
# regression tests, then each target fuzzed for KORVAX_FUZZ_SECONDS, default 20);
# then the Windows x86 driver korvaxser.sys and its image checks; then the 32-bit
# hosted build, whose suites run that packaged korvaxser.sys itself; exploration
# under the controlled scheduler (scripts/explore.sh) in the default, sanitizer and
# 32-bit builds, and the race-only mutants after the mutation check; and the
# driver's coverage by every suite (scripts/coverage.sh), which fails below its
# floor. Stops at the first failure. The fuzz preset needs clang's libFuzzer: installed when running
# as root, otherwise that preset is skipped with a message.
#
# Nothing is skipped silently: a skipped preset and every test ctest did not run
# (a skip return code, GTEST_SKIP, a disabled test) are listed at the end, which
# then says "passed with skips" instead of "all passed". With CI set (as .ci/run
# has it), any skip is a failure.
#
# usage: scripts/test.sh [PRESET...]
#        (default: default asan tsan release fuzz windows-x86 hosted-x86 coverage;
#        hosted-x86 needs the windows-x86 build's package)
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
    presets=(default asan tsan release fuzz windows-x86 hosted-x86 coverage)
fi

jobs=${KORVAX_JOBS:-2}

# What did not run, for the last line; under CI the first skip fails the run.
skipped=()
skip() {
    local what=$1 why=$2
    if [[ -n ${CI:-} ]]; then
        echo "test: FAILED: $what skipped ($why); with CI set nothing may be skipped" >&2
        exit 1
    fi
    echo "test: skipped: $what ($why)" >&2
    skipped+=("$what")
}

# The tests of ctest's JUnit report that did not run: skipped or disabled.
tests_not_run() {
    sed -n 's/.*<testcase name="\([^"]*\)".*status="\(notrun\|disabled\)".*/\1/p' "$1"
}

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

# Each fuzz target runs for a bounded time from its seed corpus; new inputs go to a
# scratch directory, crashes to build/fuzz/artifacts/ (add such an input to the
# target's corpus once the fault is fixed).
fuzz_seconds=${KORVAX_FUZZ_SECONDS:-20}
run_fuzzers() {
    local dir=build/fuzz/tests/fuzz scratch target name status=0 count=0
    mkdir -p build/fuzz/artifacts
    for target in "$dir"/*_fuzz; do
        [[ -x $target ]] || continue
        name=$(basename "$target")
        scratch=$(mktemp -d)
        echo "fuzz: $name for ${fuzz_seconds}s"
        if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
            UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
            "$target" -max_total_time="$fuzz_seconds" -timeout=30 -print_final_stats=1 \
            -artifact_prefix=build/fuzz/artifacts/"$name"- \
            "$scratch" "tests/fuzz/corpus/$name" >"build/fuzz/artifacts/$name.log" 2>&1; then
            tail -n 40 "build/fuzz/artifacts/$name.log" >&2
            status=1
        else
            grep -E '^stat::number_of_executed_units' "build/fuzz/artifacts/$name.log" || true
        fi
        rm -rf "$scratch"
        [[ $status -eq 0 ]] || return 1
        count=$((count + 1))
    done
    if [[ $count -eq 0 ]]; then
        echo "fuzz: no fuzz target was built in $dir" >&2
        return 1
    fi
}

ran=()
for preset in "${presets[@]}"; do
    if [[ $preset == fuzz ]] && ! korvax_fuzz_setup; then
        skip "preset fuzz" "no libFuzzer runtime"
        continue
    fi
    if [[ $preset == coverage ]]; then
        # Builds, runs every suite and reports in one script.
        step "$preset" "driver coverage" "$root/scripts/coverage.sh"
        ran+=("$preset")
        continue
    fi
    step "$preset" configure cmake --preset "$preset"
    step "$preset" build cmake --build --preset "$preset" -j"$jobs"
    report="$root/build/$preset/ctest-junit.xml"
    rm -f "$report"
    step "$preset" tests ctest --preset "$preset" --output-junit "$report"
    [[ -f $report ]] || { echo "test: ctest wrote no report to $report" >&2; exit 1; }
    while IFS= read -r name; do
        skip "[$preset] $name" "not run by ctest"
    done < <(tests_not_run "$report")
    if [[ $preset == default ]]; then
        # Every mutant of the mutation check, about 9 minutes on 2 cores.
        step "$preset" "mutation check" "$root/scripts/mutants.sh"
        # Every scenario under the controlled scheduler (seeds from the commit), then
        # the race-only mutants, each of which exploration must find.
        step "$preset" "exploration" "$root/scripts/explore.sh"
        step "$preset" "race-only mutants" "$root/scripts/explore.sh" --mutants
    fi
    case $preset in
    asan | tsan) step "$preset" "exploration" env KORVAX_EXPLORE_SECONDS=30 \
        "$root/scripts/explore.sh" --preset "$preset" ;;
    hosted-x86) step "$preset" "exploration of the packaged image" \
        env KORVAX_EXPLORE_SECONDS=60 "$root/scripts/explore.sh" --preset "$preset" ;;
    esac
    if [[ $preset == fuzz ]]; then
        step "$preset" "bounded fuzzing" run_fuzzers
    fi
    ran+=("$preset")
done

echo
if [[ ${#skipped[@]} -eq 0 ]]; then
    echo "test: all passed (${ran[*]})"
else
    echo "test: passed with skips (${ran[*]}); not run:"
    printf '    %s\n' "${skipped[@]}"
fi
