#!/usr/bin/env bash
# Fails when any object file carries a static constructor: a non-empty .init_array,
# .preinit_array or .ctors section (with or without a priority suffix), or an
# MSVC-style .CRT$XC* initializer section. Driver code must have none: no C++
# runtime runs them in the kernel.
#
# usage: check-static-ctors.sh OBJDUMP [--ignore SECTION]... OBJECT|@LISTFILE...
#   --ignore SECTION   a section name to accept (the sanitizers register their
#                      module constructors in .init_array.00099)
set -euo pipefail

if [[ $# -lt 2 ]]; then
    echo "usage: $0 OBJDUMP [--ignore SECTION]... OBJECT|@LISTFILE..." >&2
    exit 2
fi
objdump=$1
shift
ignored=" "
while [[ $# -gt 0 && $1 == --ignore ]]; do
    ignored+="$2 "
    shift 2
done

# An argument @FILE stands for the object files listed in FILE, one per line.
objects=()
for argument in "$@"; do
    if [[ $argument == @* ]]; then
        mapfile -t listed < "${argument#@}"
        for object in "${listed[@]}"; do
            [[ -n $object ]] && objects+=("$object")
        done
    else
        objects+=("$argument")
    fi
done
if [[ ${#objects[@]} -eq 0 ]]; then
    echo "$(basename "$0"): no object files given" >&2
    exit 2
fi

failed=0
for object in "${objects[@]}"; do
    if [[ ! -f $object ]]; then
        echo "check-static-ctors: missing object file: $object" >&2
        exit 2
    fi
    headers=$("$objdump" -h "$object") || {
        echo "check-static-ctors: $objdump -h failed on $object" >&2
        exit 2
    }
    # Section lines read: Idx Name Size VMA LMA File-off Algn.
    while read -r name size; do
        [[ $ignored == *" $name "* ]] && continue
        if [[ $((16#$size)) -ne 0 ]]; then
            echo "static constructor: $object has section $name (0x$size bytes)"
            failed=1
        fi
    done < <(awk '$1 ~ /^[0-9]+$/ && $2 ~ /^\.(init_array|preinit_array|ctors)(\.[0-9]+)?$|^\.CRT\$XC/ { print $2, $3 }' <<<"$headers")
done

if [[ $failed -ne 0 ]]; then
    echo "check-static-ctors: FAILED: driver code must not have static constructors" >&2
    exit 1
fi
echo "check-static-ctors: ${#objects[@]} object file(s), no static constructors"
