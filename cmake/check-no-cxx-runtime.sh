#!/usr/bin/env bash
# Fails when an object file refers to the C++ runtime or standard library:
# operator new/delete, __cxa_* (guards, exceptions, pure virtuals), the exception
# personality and unwinder, RTTI, or anything in namespace std. Driver code is
# compiled without exceptions and RTTI and must use none of these; on the Windows
# build such a reference would not link, here it would link silently.
#
# usage: check-no-cxx-runtime.sh NM OBJECT|@LISTFILE...
set -euo pipefail

if [[ $# -lt 2 ]]; then
    echo "usage: $0 NM OBJECT|@LISTFILE..." >&2
    exit 2
fi
nm=$1
shift

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
        echo "check-no-cxx-runtime: missing object file: $object" >&2
        exit 2
    fi
    undefined=$("$nm" -u "$object") || {
        echo "check-no-cxx-runtime: $nm -u failed on $object" >&2
        exit 2
    }
    while read -r symbol; do
        echo "not allowed: $object refers to $symbol"
        failed=1
    done < <(awk '{ print $NF }' <<<"$undefined" |
        grep -E '^(_Zn[wa]|_Zd[la]|__cxa_|__gxx_personality|_Unwind_|__dynamic_cast|_ZTI|_ZTVN10__cxxabiv|_ZSt|_ZNSt|_ZNKSt|_ZNSa|_ZNSs)' || true)
done

if [[ $failed -ne 0 ]]; then
    echo "check-no-cxx-runtime: FAILED: driver code must not use the C++ runtime" >&2
    exit 1
fi
echo "check-no-cxx-runtime: ${#objects[@]} object file(s), no C++ runtime references"
