#!/usr/bin/env bash
# Fails unless a PE image imports only from ntoskrnl.exe and HAL.dll, and only the
# functions named in an allowlist (one "dll!Function" per line; '#' starts a
# comment; DLL names compare case-insensitively, function names exactly).
# Imports by ordinal, delay-load imports and images without any import are
# failures too.
#
# usage: check-driver-imports.sh OBJDUMP IMAGE ALLOWLIST
set -euo pipefail

if [[ $# -ne 3 ]]; then
    echo "usage: $0 OBJDUMP IMAGE ALLOWLIST" >&2
    exit 2
fi
objdump=$1
image=$2
allowlist=$3
for file in "$image" "$allowlist"; do
    if [[ ! -f $file ]]; then
        echo "check-driver-imports: missing file: $file" >&2
        exit 2
    fi
done

dump=$("$objdump" -p "$image") || {
    echo "check-driver-imports: $objdump -p failed on $image" >&2
    exit 2
}

# The import tables as objdump prints them:
#     DLL Name: ntoskrnl.exe
#     vma:  Hint/Ord Member-Name Bound-To
#     40c4     64  DbgPrint
# An import by ordinal has no member name. The delay-load directory is the data
# directory entry 'd'.
awk -v allowfile="$allowlist" '
    function lower(s) { return tolower(s) }
    BEGIN {
        while ((getline line < allowfile) > 0) {
            sub(/#.*/, "", line)
            gsub(/[ \t\r]/, "", line)
            if (line == "") continue
            split(line, part, "!")
            if (part[2] == "") {
                printf "check-driver-imports: malformed allowlist line: %s\n", line
                bad = 1
                continue
            }
            allowed[lower(part[1]) "!" part[2]] = 1
        }
        close(allowfile)
        dll = ""
    }
    $1 == "Entry" && $2 == "d" && $3 !~ /^0+$/ {
        print "not allowed: delay-load imports"
        bad = 1
    }
    /^[ \t]*DLL Name:/ {
        dll = $3
        dlls++
        if (lower(dll) != "ntoskrnl.exe" && lower(dll) != "hal.dll") {
            printf "not allowed: imports from %s (only ntoskrnl.exe and HAL.dll)\n", dll
            bad = 1
        }
        next
    }
    /^[ \t]*$/ { dll = ""; next }
    dll != "" && /^[ \t]*vma:/ { next }
    dll != "" && $1 ~ /^[0-9a-fA-F]+$/ {
        if (NF < 3 || $3 == "<none>") {
            printf "not allowed: %s imported by ordinal %s\n", dll, $2
            bad = 1
            next
        }
        functions++
        key = lower(dll) "!" $3
        if (!(key in allowed)) {
            printf "not allowed: %s!%s is not in the allowlist\n", dll, $3
            bad = 1
        } else {
            printf "  %s!%s\n", dll, $3
        }
    }
    END {
        if (dlls == 0 || functions == 0) {
            print "not allowed: no import table found (a driver imports from ntoskrnl.exe)"
            bad = 1
        }
        if (bad) exit 1
        printf "check-driver-imports: %d function(s) from %d DLL(s), all allowed\n", functions, dlls
    }
' <<<"$dump" || {
    echo "check-driver-imports: FAILED for $image (allowlist: $allowlist)" >&2
    exit 1
}
