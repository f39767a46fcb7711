#!/usr/bin/env python3
"""Fails when a test takes its expected values from the driver itself.

A test that expects what the driver's own table or constant says passes whatever
that table or constant holds: a wrong rate in the rate table, a wrong mark, a
wrong buffer size. The expected values belong in the test, written out as the
Win32 serial API, the WDK and USB CDC give them.

Driver values are the names the driver's headers (driver/**/*.h) give values to:
every object-like #define, and every extern const object (the rate table, the
interface GUID). Enumerators are not among them: they name the driver's own
states, which have no meaning outside it. A variable such as NextDeviceNumber is
state, not a value.

A use of a driver value in tests/**/*.cpp and tests/**/*.h counts as an
expectation when the name stands
  - among the arguments of a GoogleTest assertion (EXPECT_*, ASSERT_*) or of the
    suites' own Expect(...) checks,
  - as the range of a range-based for loop, or in the header of any other for
    loop (a loop over the driver's table or up to its count),
  - in the initializer of a variable whose name begins with "expected".
Every other use (an input the test sends, a field it fills in) is left alone.
Comments and string literals are not read.

An exception is listed in the allow-list file, one a line:
    <path under tests/> <NAME> <why the use is not an expected value>
An entry that no longer matches any use is itself reported, so the list stays
exact.

usage: driver_values.py --source <repository root> [--allow <file>]
       driver_values.py --self-test
"""

import argparse
import pathlib
import re
import sys

DEFINE = re.compile(r"^\s*#\s*define\s+([A-Za-z_]\w*)(?!\()\s+\S", re.M)
EXTERN_CONST = re.compile(r"\bextern\s+const\s+[\w\s\*]*?\b([A-Za-z_]\w*)\s*(?:\[[^\]]*\])?\s*;")
ASSERTION = re.compile(r"\b(?:(?:EXPECT|ASSERT)_[A-Z_]+|Expect)\s*\(")
FOR_LOOP = re.compile(r"\bfor\s*\(")
EXPECTED_INIT = re.compile(
    r"\b(?:k?[Ee]xpected\w*)\s*(?:\[[^\]]*\])*\s*(?:=|\{)", re.M)


def blank_comments_and_strings(text):
    """Replaces comments and string/char literals by spaces, keeping the lines."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c == 'R' and text.startswith('R"', i):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            if not m:
                out.append(c)
                i += 1
                continue
            end = text.find(")" + m.group(1) + '"', i)
            j = n if end < 0 else end + len(m.group(1)) + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c in "\"'":
            # A digit separator (1'000) is no character literal.
            if c == "'" and i > 0 and text[i - 1].isalnum() and i + 1 < n and text[i + 1].isalnum():
                out.append(c)
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            out.append(c + " " * (j - i - 2) + c if j - i >= 2 else " " * (j - i))
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def balanced(text, open_index):
    """The end of the parenthesised group that opens at open_index."""
    depth = 0
    for j in range(open_index, len(text)):
        if text[j] == "(":
            depth += 1
        elif text[j] == ")":
            depth -= 1
            if depth == 0:
                return j + 1
    return len(text)


def statement_end(text, start):
    """The end of the declaration that starts at start: its ';' at brace depth 0."""
    depth = 0
    for j in range(start, len(text)):
        if text[j] in "({[":
            depth += 1
        elif text[j] in ")}]":
            depth -= 1
        elif text[j] == ";" and depth <= 0:
            return j
    return len(text)


def driver_values(source):
    names = {}
    for header in sorted((source / "driver").rglob("*.h")):
        text = blank_comments_and_strings(header.read_text())
        for pattern in (DEFINE, EXTERN_CONST):
            for match in pattern.finditer(text):
                names.setdefault(match.group(1), header.relative_to(source))
    return names


def expectation_spans(text):
    """(start, end, kind) of every stretch in which a name counts as expected."""
    spans = []
    for match in ASSERTION.finditer(text):
        spans.append((match.end() - 1, balanced(text, match.end() - 1), "assertion"))
    for match in FOR_LOOP.finditer(text):
        spans.append((match.end() - 1, balanced(text, match.end() - 1), "loop"))
    for match in EXPECTED_INIT.finditer(text):
        spans.append((match.start(), statement_end(text, match.start()), "expected value"))
    return spans


def find_uses(source, names):
    word = re.compile(r"\b(" + "|".join(sorted(map(re.escape, names))) + r")\b")
    uses = []
    for path in sorted((source / "tests").rglob("*")):
        if path.suffix not in (".cpp", ".h") or not path.is_file():
            continue
        text = blank_comments_and_strings(path.read_text())
        spans = expectation_spans(text)
        seen = set()
        for match in word.finditer(text):
            for start, end, kind in spans:
                if start <= match.start() < end:
                    line = text.count("\n", 0, match.start()) + 1
                    key = (line, match.group(1))
                    if key not in seen:
                        seen.add(key)
                        uses.append((path.relative_to(source / "tests"), line, match.group(1), kind))
                    break
    return uses


def read_allow_list(path):
    entries = {}
    problems = []
    if not path.exists():
        return entries, problems
    for number, line in enumerate(path.read_text().splitlines(), 1):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        parts = line.split(None, 2)
        if len(parts) < 3:
            problems.append(f"{path.name}:{number}: an entry needs a path, a name and why")
            continue
        entries[(parts[0], parts[1])] = number
    return entries, problems


def self_test():
    """The check on a small tree of its own: what it must find, and what not."""
    import subprocess
    import tempfile
    files = {
        "driver/port/rates.h": "#define RATE_COUNT 2\n#define MARK(x) (x)\n"
                               "extern const ULONG RATES[RATE_COUNT];\n",
        "tests/port/rates_test.cpp": (
            "// RATES in a comment, \"RATE_COUNT\" in a string: not read.\n"
            "TEST(Rates, A) {\n"
            "    for (ULONG rate : RATES) {\n"                    # line 3: loop
            "        Send(rate);\n"
            "    }\n"
            "    EXPECT_EQ(Count(),\n"
            "              RATE_COUNT);\n"                       # line 7: assertion
            "    const ULONG expected[] = {1, RATE_COUNT};\n"    # line 8: expected value
            "    Send(RATE_COUNT); // an input\n"
            "    EXPECT_EQ(MARK(1), 1);\n"                        # function-like: not a value
            "}\n"),
        "tests/pnp/pool_test.cpp": "TEST(Pool, A) { EXPECT_EQ(Pool(RATE_COUNT), 0u); }\n",
        "tests/checks/driver_values.allow": (
            "pnp/pool_test.cpp RATE_COUNT addresses a pool\n"
            "port/gone_test.cpp RATES no longer there\n"),
    }
    with tempfile.TemporaryDirectory() as root:
        for name, text in files.items():
            path = pathlib.Path(root, name)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
        run = subprocess.run([sys.executable, __file__, "--source", root],
                             capture_output=True, text=True)
    expected = [
        "tests/port/rates_test.cpp:3: RATES (driver/port/rates.h) in a loop",
        "tests/port/rates_test.cpp:7: RATE_COUNT (driver/port/rates.h) used in an assertion",
        "tests/port/rates_test.cpp:8: RATE_COUNT (driver/port/rates.h) used in an expected value",
        "driver_values.allow:2: RATES in tests/port/gone_test.cpp is no longer used",
    ]
    lines = run.stderr.splitlines()
    ok = run.returncode == 1 and len(lines) == len(expected) and all(
        line.startswith(prefix) for line, prefix in zip(lines, expected))
    print(run.stderr, end="", file=sys.stderr)
    print("driver values self-test: " + ("as expected" if ok else "WRONG FINDINGS"))
    return 0 if ok else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", type=pathlib.Path)
    parser.add_argument("--allow", type=pathlib.Path)
    parser.add_argument("--self-test", action="store_true",
                        help="run the check on a tree of its own and compare its findings")
    args = parser.parse_args()
    if args.self_test:
        return self_test()
    if args.source is None:
        parser.error("--source is required")
    source = args.source.resolve()
    allow_path = args.allow or source / "tests" / "checks" / "driver_values.allow"

    names = driver_values(source)
    if not names:
        print("driver values: no names found in driver/**/*.h", file=sys.stderr)
        return 1
    allowed, problems = read_allow_list(allow_path)
    used_entries = set()
    for path, line, name, kind in find_uses(source, names):
        key = (str(path), name)
        if key in allowed:
            used_entries.add(key)
            continue
        problems.append(
            f"tests/{path}:{line}: {name} ({names[name]}) used in an {kind}: "
            "write the expected value out as the contract gives it"
            if kind == "assertion" or kind == "expected value" else
            f"tests/{path}:{line}: {name} ({names[name]}) in a {kind}: "
            "iterate over values written out in the test")
    for key, number in sorted(allowed.items(), key=lambda item: item[1]):
        if key not in used_entries:
            problems.append(f"{allow_path.name}:{number}: {key[1]} in tests/{key[0]} "
                            "is no longer used as an expected value: remove the entry")
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        return 1
    print(f"driver values: {len(names)} names of driver/ headers, none expected by a test "
          f"outside the {len(allowed)} allowed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
