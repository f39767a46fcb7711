#!/usr/bin/env python3
"""The docs check: README.md and docs/*.md must still say what the tree does.

  check_docs.py --source DIR --build DIR [FILE.md ...]

For each page (README.md and every docs/*.md when no file is named):

- Every relative link, [text](path) or [text](path#anchor), resolves: the file or
  folder exists and the anchor is one of the target page's headings.
- A fenced block whose info string holds the word `runnable` is run with bash
  (-e -o pipefail), and must end with status 0, or the one `exit=N` names:

      ```sh runnable exit=2 requires=tshark timeout=60

  `requires=` names programs the block needs; without them the block is skipped
  with a message. A line `<!-- runnable: COMMAND -->` runs COMMAND in place of the
  command shown in the next block (for a command that wraps it, such as
  scripts/demo.sh, which builds the tree and then runs the simulator).
- A fenced block with `output` in its info string, right after a runnable block
  (or a `runnable:` line), is what that command prints, stdout and stderr
  together: each of its lines must appear as a line of the output, in that order,
  trailing blanks aside. A line `...` stands for any lines; `...` inside a line
  stands for any text.
- A line `<!-- same-as: PATH -->` before a fenced block says the block is a piece
  of PATH word for word (a worked example that lives as a real, built test).

The blocks of one page run in order in one scratch folder that holds links to the
tree's top-level entries and build/default pointing at the build given, so
`build/default/tools/korvaxsim` and `tests/...` resolve as in the tree, and files
a command writes stay in the scratch folder.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

FENCE = re.compile(r"^(\s*)(`{3,}|~{3,})(.*)$")
LINK = re.compile(r"(?<!\!)\[(?:[^\]\[]|\[[^\]]*\])*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
IMAGE = re.compile(r"!\[[^\]]*\]\(([^)\s]+)\)")
RUNNABLE_LINE = re.compile(r"^<!--\s*runnable:\s*(.*?)\s*-->\s*$")
SAME_AS_LINE = re.compile(r"^<!--\s*same-as:\s*(\S+)\s*-->\s*$")


class Block:
    def __init__(self, info, body, line, before):
        self.words = info.split()
        self.body = body
        self.line = line  # 1-based line of the opening fence
        self.before = before  # the last non-blank line before the fence

    def has(self, word):
        return word in self.words

    def option(self, name, default=None):
        for word in self.words:
            if word.startswith(name + "="):
                return word[len(name) + 1:]
        return default


def parse(text):
    """The page's fenced blocks and its prose lines (outside fences)."""
    blocks, prose = [], []
    lines = text.split("\n")
    i = 0
    last = ""
    while i < len(lines):
        match = FENCE.match(lines[i])
        if not match:
            prose.append((i + 1, lines[i]))
            if lines[i].strip():
                last = lines[i].strip()
            i += 1
            continue
        indent, fence, info = match.groups()
        start = i
        body = []
        i += 1
        while i < len(lines) and not (lines[i].strip().startswith(fence[0] * len(fence))
                                      and lines[i].strip().strip(fence[0]) == ""):
            line = lines[i]
            body.append(line[len(indent):] if line.startswith(indent) else line.lstrip())
            i += 1
        blocks.append(Block(info.strip(), "\n".join(body), start + 1, last))
        last = "```"
        i += 1
    return blocks, prose


def slug(heading):
    """GitHub's anchor for a heading."""
    text = heading.strip().lower()
    text = re.sub(r"[`*_]", "", text)
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", text)
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors(path):
    with open(path, encoding="utf-8") as f:
        _, prose = parse(f.read())
    seen = {}
    result = set()
    for _, line in prose:
        match = re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
        if not match:
            continue
        base = slug(match.group(1))
        count = seen.get(base, 0)
        seen[base] = count + 1
        result.add(base if count == 0 else "%s-%d" % (base, count))
    return result


def check_links(page, source, prose, errors):
    here = os.path.dirname(page)
    for number, line in prose:
        # Inline code is not a link.
        line = re.sub(r"`[^`]*`", "", line)
        for match in list(LINK.finditer(line)) + list(IMAGE.finditer(line)):
            target = match.group(1)
            if re.match(r"^[a-z][a-z0-9+.-]*:", target):
                continue  # http:, https:, mailto:
            path, _, anchor = target.partition("#")
            resolved = os.path.normpath(os.path.join(here, path)) if path else page
            where = "%s:%d" % (os.path.relpath(page, source), number)
            if not os.path.exists(resolved):
                errors.append("%s: link to %s: no such file" % (where, target))
                continue
            if anchor and resolved.endswith(".md") and anchor not in anchors(resolved):
                errors.append("%s: link to %s: no heading with that anchor" % (where, target))


def matches(expected, actual):
    """Each expected line in order among the actual lines; '...' skips."""
    pattern_lines = [line.rstrip() for line in expected.split("\n")]
    while pattern_lines and not pattern_lines[-1]:
        pattern_lines.pop()
    actual_lines = [line.rstrip() for line in actual.split("\n")]
    at = 0
    for wanted in pattern_lines:
        if wanted == "...":
            continue
        regex = re.compile(
            "^" + ".*".join(re.escape(part) for part in wanted.split("...")) + "$")
        while at < len(actual_lines) and not regex.match(actual_lines[at]):
            at += 1
        if at == len(actual_lines):
            return wanted
        at += 1
    return None


def scratch_tree(source, build):
    scratch = tempfile.mkdtemp(prefix="docs-check-")
    for entry in os.listdir(source):
        if entry in ("build", ".git"):
            continue
        os.symlink(os.path.join(source, entry), os.path.join(scratch, entry))
    os.mkdir(os.path.join(scratch, "build"))
    os.symlink(build, os.path.join(scratch, "build", "default"))
    return scratch


def run_blocks(page, source, build, blocks, errors):
    scratch = None
    ran = skipped = 0
    try:
        for index, block in enumerate(blocks):
            where = "%s:%d" % (os.path.relpath(page, source), block.line)
            same_as = SAME_AS_LINE.match(block.before)
            if same_as:
                path = os.path.join(source, same_as.group(1))
                try:
                    with open(path, encoding="utf-8") as f:
                        if block.body.strip("\n") not in f.read():
                            errors.append("%s: the block is no longer a piece of %s"
                                          % (where, same_as.group(1)))
                except OSError:
                    errors.append("%s: same-as %s: no such file" % (where, same_as.group(1)))
            hidden = RUNNABLE_LINE.match(block.before)
            if not block.has("runnable") and not hidden:
                continue
            if block.has("output") and not hidden:
                continue  # the output of the block before, checked there
            command = hidden.group(1) if hidden else block.body
            expected = None
            following = blocks[index + 1] if index + 1 < len(blocks) else None
            if hidden and block.has("output"):
                expected = block.body
            elif following is not None and following.has("output") and \
                    following.before == "```":
                expected = following.body
            needed = [tool for tool in (block.option("requires") or "").split(",") if tool]
            missing = [tool for tool in needed if shutil.which(tool) is None]
            if missing:
                print("docs-check: %s: skipped, needs %s" % (where, ", ".join(missing)), flush=True)
                skipped += 1
                continue
            if scratch is None:
                scratch = scratch_tree(source, build)
            status_wanted = int(block.option("exit", "0"))
            timeout = int(block.option("timeout", "60"))
            try:
                result = subprocess.run(
                    ["bash", "-e", "-o", "pipefail", "-c", command], cwd=scratch,
                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                    timeout=timeout)
            except subprocess.TimeoutExpired:
                errors.append("%s: did not end within %d s:\n%s" % (where, timeout, command))
                continue
            ran += 1
            output = result.stdout.decode("utf-8", "replace")
            if result.returncode != status_wanted:
                errors.append("%s: exit status %d, the page says %d:\n%s\n--- output:\n%s"
                              % (where, result.returncode, status_wanted, command, output))
                continue
            if expected is not None:
                missing_line = matches(expected, output)
                if missing_line is not None:
                    errors.append("%s: the output lacks the line %r (in its place):\n%s\n"
                                  "--- output:\n%s" % (where, missing_line, command, output))
    finally:
        if scratch is not None:
            shutil.rmtree(scratch, ignore_errors=True)
    return ran, skipped


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--source", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("pages", nargs="*")
    args = parser.parse_args()
    source = os.path.abspath(args.source)
    build = os.path.abspath(args.build)
    pages = [os.path.abspath(p) for p in args.pages]
    if not pages:
        pages = [os.path.join(source, "README.md")]
        docs = os.path.join(source, "docs")
        pages += sorted(os.path.join(docs, name) for name in os.listdir(docs)
                        if name.endswith(".md"))
    errors = []
    total_ran = total_skipped = 0
    for page in pages:
        with open(page, encoding="utf-8") as f:
            blocks, prose = parse(f.read())
        check_links(page, source, prose, errors)
        ran, skipped = run_blocks(page, source, build, blocks, errors)
        total_ran += ran
        total_skipped += skipped
    for error in errors:
        print("docs-check: " + error)
    print("docs-check: %d page(s), %d command(s) run, %d skipped, %d problem(s)"
          % (len(pages), total_ran, total_skipped, len(errors)))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
