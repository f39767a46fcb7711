#!/usr/bin/env bash
# Checks the PE headers of the driver image.
#
# usage: check-driver-image.sh subsystem OBJDUMP NM IMAGE
#          native subsystem (1) and the entry point at DriverEntry (_DriverEntry@8)
#        check-driver-image.sh layout OBJDUMP NM IMAGE
#          PE32 i386 image, not a DLL, image base 0x10000, section alignment
#          0x1000, file alignment 0x200, base relocations present, no TLS
#          directory and no export table
set -euo pipefail

if [[ $# -ne 4 ]]; then
    echo "usage: $0 subsystem|layout OBJDUMP NM IMAGE" >&2
    exit 2
fi
mode=$1
objdump=$2
nm=$3
image=$4
if [[ ! -f $image ]]; then
    echo "check-driver-image: missing file: $image" >&2
    exit 2
fi

dump=$("$objdump" -p "$image") || {
    echo "check-driver-image: $objdump -p failed on $image" >&2
    exit 2
}

failed=0
fail() {
    echo "not allowed: $*"
    failed=1
}

# The value of a header field: "Subsystem  00000001  (NT native)" -> 00000001.
field() {
    awk -v name="$1" '$1 == name { print $2; exit }' <<<"$dump"
}

# The RVA of a data directory entry: "Entry 9 00000000 00000000 Thread Storage ...".
directory_rva() {
    awk -v entry="$1" '$1 == "Entry" && $2 == entry { print $3; exit }' <<<"$dump"
}

hex() {
    local value=${1#0x}
    [[ $value =~ ^[0-9a-fA-F]+$ ]] || {
        echo "check-driver-image: cannot read a header field of $image" >&2
        exit 2
    }
    echo $((16#$value))
}

case $mode in
subsystem)
    subsystem=$(hex "$(field Subsystem)")
    if [[ $subsystem -ne 1 ]]; then
        fail "subsystem is $subsystem, a driver is native (1)"
    else
        echo "  subsystem: native (1)"
    fi
    entry=$(($(hex "$(field AddressOfEntryPoint)") + $(hex "$(field ImageBase)")))
    symbols=$("$nm" "$image") || {
        echo "check-driver-image: $nm failed on $image" >&2
        exit 2
    }
    driver_entry=$(awk '$3 == "_DriverEntry@8" { print $1; exit }' <<<"$symbols")
    if [[ -z $driver_entry ]]; then
        fail "no _DriverEntry@8 symbol in the image"
    elif [[ $entry -ne $(hex "$driver_entry") ]]; then
        fail "entry point is 0x$(printf %x "$entry"), DriverEntry is at 0x$driver_entry"
    else
        echo "  entry point: DriverEntry (0x$driver_entry)"
    fi
    ;;
layout)
    grep -q 'file format pei-i386' <<<"$dump" || fail "not a pei-i386 image"
    [[ $(field Magic) == 010b ]] || fail "optional header magic is $(field Magic), PE32 is 010b"
    characteristics=$(hex "$(field Characteristics)")
    ((characteristics & 0x2000)) && fail "the image is marked as a DLL"
    ((characteristics & 0x0002)) || fail "the image is not marked executable"
    [[ $(hex "$(field ImageBase)") -eq $((0x10000)) ]] || fail "image base is 0x$(field ImageBase), want 0x10000"
    [[ $(hex "$(field SectionAlignment)") -eq $((0x1000)) ]] || fail "section alignment is 0x$(field SectionAlignment), want 0x1000"
    [[ $(hex "$(field FileAlignment)") -eq $((0x200)) ]] || fail "file alignment is 0x$(field FileAlignment), want 0x200"
    [[ $(hex "$(directory_rva 5)") -ne 0 ]] || fail "no base relocations: the loader could not relocate the driver"
    [[ $(hex "$(directory_rva 9)") -eq 0 ]] || fail "the image has a TLS directory"
    [[ $(hex "$(directory_rva 0)") -eq 0 ]] || fail "the image has an export table"
    [[ $failed -eq 0 ]] && echo "  PE32 i386, base 0x10000, alignment 0x1000/0x200, relocations, no TLS, no exports"
    ;;
*)
    echo "usage: $0 subsystem|layout OBJDUMP NM IMAGE" >&2
    exit 2
    ;;
esac

if [[ $failed -ne 0 ]]; then
    echo "check-driver-image: $mode: FAILED for $image" >&2
    exit 1
fi
echo "check-driver-image: $mode: ok"
