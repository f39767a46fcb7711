#!/usr/bin/env python3
"""The race-only mutants: faults that only some interleaving shows (a lost wake-up
window, a cancel-ownership exchange ignored, a lock hold split in two...), listed
in race_mutants.txt in the mutation check's format, the last field starting with
the scenarios expected to find the fault ("name,name: what the fault is"). Each
mutant is applied to the mutation check's scratch tree; it must survive every
deterministic suite (else it is not race-only and belongs in the mutation check)
and be found by exploring its scenarios within the budget. Run through
scripts/explore.sh --mutants [--all-suites] [ID...]."""
import argparse
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "mutants"))
import run as mutation  # noqa: E402  the mutation check's list format and scratch tree


def build(src, jobs):
    return mutation.build(src, jobs, mutation.all_targets() + ["explore"])


def explore(src, scenarios, seconds, seed):
    """The first line of the explorer's finding, or None."""
    binary = os.path.join(src, "build", "default", "tests", "explore")
    command = [binary, "--seconds", str(seconds), "--seed", str(seed)]
    for scenario in scenarios:
        command += ["--scenario", scenario]
    try:
        result = subprocess.run(command, capture_output=True, text=True, timeout=seconds * 4 + 120)
    except subprocess.TimeoutExpired:
        return "the explorer hung"
    if result.returncode == 0:
        return None
    output = result.stdout + result.stderr
    for line in output.splitlines():
        if "*** EXPLORE" in line or "*** SCHEDULER" in line or "*** VERIFIER" in line:
            return line.strip()
    return f"exit status {result.returncode}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--seconds", type=int,
                        default=int(os.environ.get("KORVAX_RACE_MUTANT_SECONDS", "90")))
    parser.add_argument("--jobs", type=int, default=int(os.environ.get("KORVAX_JOBS", "2")))
    parser.add_argument("--all-suites", action="store_true",
                        help="also the reliability and tools suites (minutes per mutant)")
    parser.add_argument("ids", nargs="*")
    args = parser.parse_args()

    root = os.path.abspath(args.root)
    mutants = mutation.parse(os.path.join(root, "tests", "explore", "race_mutants.txt"))
    if args.ids:
        mutants = [m for m in mutants if m["id"] in args.ids]
    src = os.path.join(root, "build", "mutants", "src")
    os.makedirs(src, exist_ok=True)
    mutation.sync(root, src)
    subprocess.run(["cmake", "--preset", "default"], cwd=src, check=True,
                   stdout=subprocess.DEVNULL)
    ok, log = build(src, args.jobs)
    if not ok:
        print(log[-4000:])
        sys.exit("race mutants: the unmutated tree does not build")

    # The hosted suites take seconds; the reliability and tools suites, which run
    # for minutes, join them with --all-suites.
    suites = [suite for suite in mutation.SUITES
              if args.all_suites or suite[0] not in ("reliability", "tools")]
    found = missed = errors = 0
    started = time.monotonic()
    for m in mutants:
        scenarios, _, what = m["what"].partition(": ")
        scenarios = [s.strip() for s in scenarios.split(",") if s.strip()]
        label = f"{m['id']:4} {m['file']}: {what}"
        path = os.path.join(src, m["file"])
        with open(path, encoding="utf-8") as f:
            original = f.read()
        count = original.count(m["old"])
        if count != 1 or not scenarios:
            reason = f"old text found {count} times" if count != 1 else "no scenario named"
            print(f"{label}\n     ERROR: {reason}")
            errors += 1
            continue
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original.replace(m["old"], m["new"]))
            ok, log = build(src, args.jobs)
            if not ok:
                print(f"{label}\n     ERROR: does not build")
                errors += 1
                continue
            killed, log = mutation.run_suites(src, args.jobs, suites)
            if log is not None:
                print(f"{label}\n     ERROR: a suite does not build")
                errors += 1
                continue
            finding = None if killed else explore(src, scenarios, args.seconds, args.seed)
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
        if killed:
            print(f"{label}\n     ERROR: not race-only, killed by {killed}")
            errors += 1
        elif finding:
            print(f"{label}\n     found by exploring {', '.join(scenarios)}: {finding}")
            found += 1
        else:
            print(f"{label}\n     MISSED by exploring {', '.join(scenarios)} for {args.seconds} s")
            missed += 1
        sys.stdout.flush()
    minutes = (time.monotonic() - started) / 60
    print(f"\nrace mutants: {found} of {found + missed} found by exploration, {missed} missed, "
          f"{errors} errors ({minutes:.1f} min)")
    build(src, args.jobs)
    sys.exit(1 if missed or errors else 0)


if __name__ == "__main__":
    main()
