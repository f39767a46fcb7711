#!/usr/bin/env bash
# Driver coverage: builds preset coverage (the hosted Debug build instrumented by
# gcov), runs every suite in it, and writes an HTML report of driver/ with line and
# branch coverage, file by file and line by line, to build/coverage/report/. Prints
# one summary line and lists the driver lines that no suite reaches in
# build/coverage/report/unreached.txt, each with its reason from
# tests/coverage/unreached.txt (why no hosted test can reach it); a line without
# one, and a reason whose line is reached now, are listed at the end of the file
# and counted in the summary line.
#
# The coverage test preset leaves out the one test that runs korvaxsim under a
# 64 KiB file-size limit (tools.Pty.ACaptureWriteThatFailsMidSessionEndsItAtOnceWithTheErrno):
# the limit would also cut that process's gcov counters short, and a truncated
# counter file spoils the merge of every process after it.
#
# Fails when line or branch coverage of driver/ falls below its floor: the figures
# measured on main (97.8% of lines, 91.7% of branches), rounded down to the half
# per cent, since the threads' interleavings move a few lines from run to run.
# Raise a floor when the suites reach more; never lower one to pass.
#
# usage: scripts/coverage.sh [--no-build]
#        --no-build  report on the counters the last run left (no build, no tests)
set -euo pipefail

floor_lines=97.5
floor_branches=91.0

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
build=build/coverage
report=$build/report
jobs=${KORVAX_JOBS:-2}

if [[ ${1:-} != --no-build ]]; then
    # shellcheck source=scripts/setup.sh
    source "$root/scripts/setup.sh"
    cmake --preset coverage
    cmake --build --preset coverage -j"$jobs"
    # Counters of an earlier run would add to this one's.
    find "$build" -name '*.gcda' -delete
    ctest --preset coverage
fi

mkdir -p "$report"
# Branches the compiler adds for exceptions and unreachable code are not the
# driver's own decisions (the driver is built without exceptions, the tests with).
gcovr_args=(--root "$root" --filter "$root/driver/" --object-directory "$build"
    --exclude-throw-branches --exclude-unreachable-branches -j "$jobs" "$build/driver")
gcovr "${gcovr_args[@]}" --html-details "$report/index.html" --json-summary "$report/summary.json" \
    --print-summary >/dev/null
# Every driver line no suite reaches, as FILE:LINE: SOURCE.
gcovr "${gcovr_args[@]}" --json "$report/lines.json"
python3 - "$report" "$floor_lines" "$floor_branches" "$root/tests/coverage/unreached.txt" <<'EOF'
import json, os, sys
report, floor_lines, floor_branches = sys.argv[1], float(sys.argv[2]), float(sys.argv[3])
# The reasons: "file | source text of the line | why", keyed by file and text.
reasons = {}
with open(sys.argv[4], encoding="utf-8") as notes:
    for row in notes:
        if row.strip() and not row.startswith("#"):
            file, text, why = (part.strip() for part in row.split(" | ", 2))
            reasons[(file, text)] = why
with open(f"{report}/lines.json") as f:
    data = json.load(f)
unreached, used, unexplained = [], set(), 0
for entry in data["files"]:
    path = entry["file"]
    with open(path, encoding="utf-8") as src:
        text = src.read().splitlines()
    for line in entry["lines"]:
        if line["count"] == 0 and not line.get("gcovr/noncode", False):
            number = line["line_number"]
            source = text[number - 1].strip()
            key = (os.path.relpath(os.path.abspath(path)), source)
            why = reasons.get(key)
            if why is None:
                unexplained += 1
                why = "NO REASON GIVEN: reach it with a test, or say why none can"
            used.add(key)
            unreached.append(f"{path}:{number}: {source}\n    {why}")
stale = sorted(key for key in reasons if key not in used)
with open(f"{report}/unreached.txt", "w") as out:
    out.write("\n".join(unreached) + ("\n" if unreached else ""))
    for file, source in stale:
        out.write(f"reached now, its reason is stale: {file}: {source}\n")
with open(f"{report}/summary.json") as f:
    summary = json.load(f)
lines = summary["line_percent"]
branches = summary["branch_percent"]
print(f"coverage: driver lines {lines:.1f}% ({summary['line_covered']} of {summary['line_total']}), "
      f"branches {branches:.1f}% ({summary['branch_covered']} of {summary['branch_total']}); "
      f"report {report}/index.html, unreached lines {report}/unreached.txt "
      f"({len(unreached)}, {unexplained} without a reason, {len(stale)} stale reasons)")
failed = False
if lines < floor_lines:
    print(f"coverage: FAILED: driver line coverage {lines:.1f}% is below its floor {floor_lines}%")
    failed = True
if branches < floor_branches:
    print(f"coverage: FAILED: driver branch coverage {branches:.1f}% is below its floor {floor_branches}%")
    failed = True
sys.exit(1 if failed else 0)
EOF
