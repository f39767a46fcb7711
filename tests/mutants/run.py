#!/usr/bin/env python3
"""The mutation check: each mutant of mutants.txt is applied to a scratch copy of
the tree (build/mutants/src), the driver's suites are rebuilt incrementally and run,
and the mutant is reported killed (some suite failed or hung) or survived. A
mutant whose old text does not occur exactly once, or that does not compile, is
an error of the list, and so is one argued harmless that a suite kills (its
argument is wrong, or has gone stale). Every suite that runs the driver runs
against each mutant, the one of the mutated file's own area first and then the
rest from the fastest to the slowest; each suite is built only when its turn
comes, and the first failing suite ends the mutant's run. Run through
scripts/mutants.sh."""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import time

# Every suite that runs the driver, fastest first: (name, executable, arguments,
# seconds before it counts as hung (the hosted suites run in well under a second,
# the reliability suite in some 15 s and the tools suite in some 20 s on 2 cores).
# The scenario and power suites run again with the pass-through filters in every
# device stack, as the test command runs them.
SUITES = [
    ("frame", "frame", [], 10),
    ("usb", "usb", [], 10),
    ("programs", "programs", [], 10),
    ("port", "port", [], 10),
    ("pnp", "pnp", [], 10),
    ("power", "power", [], 10),
    ("power_filtered", "power", ["--filters"], 10),
    ("scenario", "scenario", [], 10),
    ("scenario_filtered", "scenario", ["--filters"], 10),
    ("data", "data", [], 10),
    ("reliability", "reliability", [], 120),
    ("tools", "tools", [], 120),
]
# The suite that tests a driver folder's code most directly runs first.
AREA_SUITE = {"frame": "frame", "pnp": "pnp", "usb": "usb", "port": "port", "data": "data",
              "power": "power"}


def suite_order(file):
    """The suites for a mutant of `file`: its area's own suite first, then the rest."""
    parts = file.split("/")
    first = AREA_SUITE.get(parts[1]) if len(parts) > 2 and parts[0] == "driver" else None
    return sorted(SUITES, key=lambda suite: suite[0] != first)


def parse(path):
    mutants = []
    with open(path, encoding="utf-8") as listing:
        for number, line in enumerate(listing, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            fields = re.split(r"(?<!\\)\|", line)
            if len(fields) != 5:
                sys.exit(f"{path}:{number}: expected 5 fields separated by |")

            def text(field):
                # One space each side belongs to the separator; the rest is text.
                if field.startswith(" "):
                    field = field[1:]
                if field.endswith(" "):
                    field = field[:-1]
                return field.replace("\\|", "|").replace("\\n", "\n")

            ident, file, old, new, what = (text(f) for f in fields)
            mutants.append({"id": ident.strip(), "file": file.strip(), "old": old, "new": new,
                            "what": what.strip(), "line": number})
    return mutants


def sync(root, src):
    """Copies the working tree's files (tracked and new, not ignored) into src,
    only those that differ, so the scratch build stays incremental."""
    listed = subprocess.run(["git", "-C", root, "ls-files", "-z", "--cached", "--others",
                             "--exclude-standard"], check=True, capture_output=True).stdout
    files = {f for f in listed.decode().split("\0") if f and os.path.isfile(os.path.join(root, f))}
    for name in files:
        source, target = os.path.join(root, name), os.path.join(src, name)
        with open(source, "rb") as s:
            data = s.read()
        if os.path.exists(target):
            with open(target, "rb") as t:
                if t.read() == data:
                    continue
        # A fresh modification time: the copy's objects may be newer than the
        # source's own time, and must still be rebuilt.
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(source, target)
        shutil.copymode(source, target)
    for directory, subdirs, names in os.walk(src):
        relative = os.path.relpath(directory, src)
        if relative == ".":
            subdirs[:] = [d for d in subdirs if d != "build"]
        for name in names:
            path = os.path.normpath(os.path.join(relative, name))
            if path not in files:
                os.remove(os.path.join(directory, name))


def build(src, jobs, targets):
    result = subprocess.run(["cmake", "--build", "--preset", "default", f"-j{jobs}", "--target",
                             *targets], cwd=src, capture_output=True, text=True)
    return result.returncode == 0, result.stdout + result.stderr


def all_targets():
    return sorted({f"{binary}_tests" for _, binary, _, _ in SUITES})


def run_suite(src, suite):
    """None when the suite passes; otherwise what failed."""
    name, binary, arguments, seconds = suite
    path = os.path.join(src, "build", "default", "tests", f"{binary}_tests")
    try:
        result = subprocess.run([path, *arguments], cwd=os.path.dirname(path),
                                capture_output=True, text=True, timeout=seconds)
    except subprocess.TimeoutExpired as expired:
        output = expired.stdout or b""
        if isinstance(output, bytes):
            output = output.decode(errors="replace")
        running = re.findall(r"^\[ RUN      \] (\S+)", output, re.M)
        where = f" in {running[-1]}" if running else ""
        return f"{name}: hung (more than {seconds} s){where}"
    if result.returncode == 0:
        return None
    failed = re.findall(r"^\[  FAILED  \] (\S+)", result.stdout, re.M)
    if failed:
        return f"{name}: {failed[0]}"
    # Aborted (a verifier finding, a crash): the test that was running.
    running = re.findall(r"^\[ RUN      \] (\S+)", result.stdout, re.M)
    where = f" in {running[-1]}" if running else ""
    return f"{name}: exit status {result.returncode}{where}"


def run_suites(src, jobs, suites):
    """(the first failing suite and test, or None when every suite passes; a build
    error's log, or None). Each suite's executable is rebuilt just before it runs."""
    built = set()
    for suite in suites:
        target = f"{suite[1]}_tests"
        if target not in built:
            ok, log = build(src, jobs, [target])
            if not ok:
                return None, log
            built.add(target)
        failing = run_suite(src, suite)
        if failing:
            return failing, None
    return None, None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--sample", type=int, help="run N mutants chosen from the commit hash")
    parser.add_argument("--jobs", type=int, default=int(os.environ.get("KORVAX_JOBS", "2")))
    parser.add_argument("ids", nargs="*", help="run only these mutants")
    args = parser.parse_args()

    root = os.path.abspath(args.root)
    mutants = parse(os.path.join(root, "tests", "mutants", "mutants.txt"))
    if args.ids:
        mutants = [m for m in mutants if m["id"] in args.ids]
    if args.sample:
        head = subprocess.run(["git", "-C", root, "rev-parse", "HEAD"], check=True,
                              capture_output=True, text=True).stdout.strip()
        chosen = random.Random(int(head[:8], 16)).sample(range(len(mutants)),
                                                         min(args.sample, len(mutants)))
        mutants = [mutants[i] for i in sorted(chosen)]
        print(f"mutants: {len(mutants)} chosen by commit {head[:12]}")

    src = os.path.join(root, "build", "mutants", "src")
    os.makedirs(src, exist_ok=True)
    sync(root, src)
    subprocess.run(["cmake", "--preset", "default"], cwd=src, check=True,
                   stdout=subprocess.DEVNULL)
    ok, log = build(src, args.jobs, all_targets())
    if not ok:
        print(log[-4000:])
        sys.exit("mutants: the unmutated tree does not build")
    failing, _ = run_suites(src, args.jobs, SUITES)
    if failing:
        sys.exit(f"mutants: the unmutated tree fails its tests ({failing})")

    killed = harmless = survived = errors = 0
    per_file = {}
    started = time.monotonic()
    for m in mutants:
        path = os.path.join(src, m["file"])
        with open(path, encoding="utf-8") as f:
            original = f.read()
        count = original.count(m["old"])
        label = f"{m['id']:4} {m['file']}: {m['what']}"
        tally = per_file.setdefault(m["file"], {"killed": 0, "harmless": 0, "survived": 0})
        argued = m["what"].startswith("harmless:")
        if count != 1:
            print(f"{label}\n     ERROR: does not apply (old text found {count} times)")
            errors += 1
            continue
        try:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original.replace(m["old"], m["new"]))
            failing, broken = run_suites(src, args.jobs, suite_order(m["file"]))
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
        if broken is not None:
            print(f"{label}\n     ERROR: does not build")
            errors += 1
        elif failing and argued:
            print(f"{label}\n     ERROR: argued harmless, yet killed by {failing}")
            errors += 1
        elif failing:
            print(f"{label}\n     killed by {failing}")
            killed += 1
            tally["killed"] += 1
        elif argued:
            print(f"{label}\n     survived, argued harmless")
            harmless += 1
            tally["harmless"] += 1
        else:
            print(f"{label}\n     SURVIVED")
            survived += 1
            tally["survived"] += 1
        sys.stdout.flush()

    counted = killed + survived
    minutes = (time.monotonic() - started) / 60
    print("\nper file: killed / argued harmless / survived")
    for file in sorted(per_file):
        tally = per_file[file]
        print(f"  {file}: {tally['killed']} / {tally['harmless']} / {tally['survived']}")
    print(f"\nmutants: {killed} of {counted} killed, {harmless} argued harmless, "
          f"{survived} survived, {errors} errors ({minutes:.1f} min)")
    # Leave the scratch build as the tree is, for the next incremental run.
    build(src, args.jobs, all_targets())
    sys.exit(1 if survived or errors else 0)


if __name__ == "__main__":
    main()
