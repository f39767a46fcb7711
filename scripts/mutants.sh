#!/usr/bin/env bash
# The mutation check: applies each fault listed in tests/mutants/mutants.txt to a
# scratch copy of the tree (build/mutants/src), rebuilds the driver's suites
# incrementally, runs them, and prints each mutant as killed or survived, then the
# score. Exit status 0 only when every mutant is killed or argued harmless.
#
# usage: scripts/mutants.sh [--sample N] [ID...]
#        --sample N  runs N mutants chosen from the commit hash (the test command's 5)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# shellcheck source=scripts/setup.sh
source "$root/scripts/setup.sh" || {
    echo "mutants: the build tools are not installed (see above)" >&2
    exit 1
}
exec python3 "$root/tests/mutants/run.py" --root "$root" "$@"
