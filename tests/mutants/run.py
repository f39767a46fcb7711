#!/usr/bin/env python3
"""The mutation check: each mutant of mutants.txt is applied to a scratch copy of
the tree (build/mutants/src), the driver's suites are rebuilt incrementally and run,
and the mutant is reported killed (some suite failed or hung) or survived. A
mutant whose old text does not occur exactly once, or that does not compile, is
an error of the list. Run through scripts/mutants.sh."""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import time

SUITES = ["frame", "pnp", "usb", "port", "data", "power", "scenario"]
SUITE_SECONDS = 60


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


def build(src, jobs):
    targets = [f"{suite}_tests" for suite in SUITES]
    result = subprocess.run(["cmake", "--build", "--preset", "default", f"-j{jobs}", "--target",
                             *targets], cwd=src, capture_output=True, text=True)
    return result.returncode == 0, result.stdout + result.stderr


def run_suites(src):
    """The first failing suite and test, or None when every suite passes."""
    for suite in SUITES:
        binary = os.path.join(src, "build", "default", "tests", f"{suite}_tests")
        try:
            result = subprocess.run([binary], cwd=os.path.dirname(binary), capture_output=True,
                                    text=True, timeout=SUITE_SECONDS)
        except subprocess.TimeoutExpired as expired:
            output = expired.stdout or b""
            if isinstance(output, bytes):
                output = output.decode(errors="replace")
            running = re.findall(r"^\[ RUN      \] (\S+)", output, re.M)
            where = f" in {running[-1]}" if running else ""
            return f"{suite}: hung (more than {SUITE_SECONDS} s){where}"
        if result.returncode != 0:
            failed = re.findall(r"^\[  FAILED  \] (\S+)", result.stdout, re.M)
            if failed:
                return f"{suite}: {failed[0]}"
            # Aborted (a verifier finding, a crash): the test that was running.
            running = re.findall(r"^\[ RUN      \] (\S+)", result.stdout, re.M)
            where = f" in {running[-1]}" if running else ""
            return f"{suite}: exit status {result.returncode}{where}"
    return None


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
    ok, log = build(src, args.jobs)
    if not ok:
        print(log[-4000:])
        sys.exit("mutants: the unmutated tree does not build")
    failing = run_suites(src)
    if failing:
        sys.exit(f"mutants: the unmutated tree fails its tests ({failing})")

    killed = harmless = survived = errors = 0
    started = time.monotonic()
    for m in mutants:
        path = os.path.join(src, m["file"])
        with open(path, encoding="utf-8") as f:
            original = f.read()
        count = original.count(m["old"])
        label = f"{m['id']:4} {m['file']}: {m['what']}"
        if count != 1:
            print(f"{label}\n     ERROR: does not apply (old text found {count} times)")
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
            failing = run_suites(src)
        finally:
            with open(path, "w", encoding="utf-8") as f:
                f.write(original)
        if failing:
            print(f"{label}\n     killed by {failing}")
            killed += 1
        elif m["what"].startswith("harmless:"):
            print(f"{label}\n     survived, argued harmless")
            harmless += 1
        else:
            print(f"{label}\n     SURVIVED")
            survived += 1
        sys.stdout.flush()

    counted = killed + survived
    minutes = (time.monotonic() - started) / 60
    print(f"\nmutants: {killed} of {counted} killed, {harmless} argued harmless, "
          f"{survived} survived, {errors} errors ({minutes:.1f} min)")
    # Leave the scratch build as the tree is, for the next incremental run.
    build(src, args.jobs)
    sys.exit(1 if survived or errors else 0)


if __name__ == "__main__":
    main()
