#!/usr/bin/env bash
# Runs a check that must reject its input: passes only when the command exits
# with status 1 (a finding, not a usage or tool error) and its output matches
# the extended regular expression PATTERN.
#
# usage: expect-failure.sh PATTERN COMMAND [ARG]...
set -uo pipefail

if [[ $# -lt 2 ]]; then
    echo "usage: $0 PATTERN COMMAND [ARG]..." >&2
    exit 2
fi
pattern=$1
shift

output=$("$@" 2>&1)
status=$?
printf '%s\n' "$output"
if [[ $status -ne 1 ]]; then
    echo "expect-failure: the check exited with status $status, expected 1 (rejected)" >&2
    exit 1
fi
if ! grep -Eq -- "$pattern" <<<"$output"; then
    echo "expect-failure: the check failed without reporting /$pattern/" >&2
    exit 1
fi
echo "expect-failure: rejected as expected"
