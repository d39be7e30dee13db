#!/bin/sh
# static_cgi_check.sh LIBC_A PROGRAM...
# static_cgi_check.sh --expect-refusal LIBC_A DYNAMIC_PROBE STATIC_PROBE
#
# Every PROGRAM must be one self-contained file that loads no shared library
# at run time: such a library would bring a second C library into the
# process, built for whatever glibc the machine has rather than the one
# linked in. So a program is refused when
#   - it has a dynamic section or names a program interpreter;
#   - anything in it calls dlopen, dlmopen, dlsym or dlvsym, or takes their
#     address: a static glibc carries these functions whenever it carries its
#     loader (for character-set modules nobody here asks for), so their
#     presence means nothing; a reference to one does;
#   - it carries glibc's name-service module loader, which the user, group,
#     host and service look-ups (getpwnam, getaddrinfo, ...) bring along;
#   - (dynamic programs) it needs one of the functions glibc marks with a
#     static-link warning, read from LIBC_A's .gnu.warning.<name> sections;
#   - it has no symbol table to check.
# Prints "refused: <program>: <reason>" per finding and exits 1 on any.
#
# --expect-refusal checks the check itself on two probes that call dlopen
# and gethostbyname, one linked dynamically and one statically: it passes
# only when each is refused for what it does, and for nothing unexpected.
set -eu

dl_api="dlopen dlmopen dlsym dlvsym"
# glibc's module loader of the name service (2.33 and later; before that,
# __nss_lookup_function).
nss_loader="__nss_module_load __nss_lookup_function"

usage() {
    echo "usage: $0 LIBC_A PROGRAM... | $0 --expect-refusal LIBC_A DYNAMIC_PROBE STATIC_PROBE" >&2
    exit 2
}

if [ "${1:-}" = --expect-refusal ]; then
    [ $# -eq 4 ] || usage
    rc=0
    out=$(/bin/sh "$0" "$2" "$3" "$4") || rc=$?
    printf '%s\n' "$out"
    [ "$rc" -eq 1 ] || { echo "expected exit status 1, got $rc" >&2; exit 1; }
    expect() {
        printf '%s\n' "$out" | grep -qF "refused: $1: $2" ||
            { echo "FAIL: $1 was not refused for: $2" >&2; exit 1; }
    }
    expect "$3" "has a dynamic section"
    expect "$3" "needs dlopen"
    expect "$4" "calls or takes the address of dlopen"
    expect "$4" "carries the name-service module loader"
    if printf '%s\n' "$out" | grep -F "refused: $4:" | grep -qF -e "dynamic section" -e "interpreter"; then
        echo "FAIL: the static probe was taken for a dynamic program" >&2
        exit 1
    fi
    echo "static_cgi_check: both probes refused as they should be"
    exit 0
fi

[ $# -ge 2 ] || usage
libc_a=$1
shift

# What glibc warns about in static programs, and a sanity check that this C
# library has the functions and the loader this check looks for.
warned=$(objdump -h "$libc_a" | awk '$2 ~ /^\.gnu\.warning\./ { sub(/^\.gnu\.warning\./, "", $2); print $2 }' | sort -u)
for must in dlopen getaddrinfo getpwnam; do
    printf '%s\n' "$warned" | grep -qx "$must" ||
        { echo "$libc_a marks no static-link warning on $must: cannot tell what to look for" >&2; exit 2; }
done
libc_syms=$(nm "$libc_a" 2>/dev/null | awk '$2 == "T" { print $3 }')
known_loader=
for name in $nss_loader; do
    printf '%s\n' "$libc_syms" | grep -qx "$name" && known_loader="$known_loader $name"
done
[ -n "$known_loader" ] || { echo "$libc_a has none of$nss_loader: cannot recognise its name service" >&2; exit 2; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0
refuse() {
    echo "refused: $1: $2"
    failed=1
}

for prog in "$@"; do
    [ -f "$prog" ] || { refuse "$prog" "no such file"; continue; }
    dynamic=0
    if ! readelf -d "$prog" 2>&1 | grep -q '^There is no dynamic section'; then
        refuse "$prog" "has a dynamic section (linked dynamically)"
        dynamic=1
    fi
    if readelf -lW "$prog" | grep -q 'INTERP'; then
        refuse "$prog" "names a program interpreter"
        dynamic=1
    fi
    nm -a "$prog" 2>/dev/null | awk 'NF >= 2 { name = $NF; sub(/@.*/, "", name); print $(NF - 1), name, (NF == 3 ? $1 : "") }' \
        > "$scratch/symbols"
    if [ ! -s "$scratch/symbols" ]; then
        refuse "$prog" "has no symbol table to check"
        continue
    fi

    if [ "$dynamic" -eq 1 ]; then
        for name in $(awk '$1 == "U" { print $2 }' "$scratch/symbols" | sort -u); do
            if printf '%s\n' "$warned" | grep -qx "$name"; then
                refuse "$prog" "needs $name (a static program would load shared libraries for it)"
            fi
        done
        continue
    fi

    # Static: references to the addresses of the dynamic-loading API, from
    # code (calls, jumps, address operands) or from data (pointers).
    objdump -d --no-show-raw-insn "$prog" | awk -F'\t' 'NF >= 2 { print $2 }' > "$scratch/code"
    : > "$scratch/data"
    for section in .data .data.rel.ro .init_array .fini_array .got .got.plt .tdata; do
        readelf -SW "$prog" | grep -q " $section " || continue
        objcopy -O binary --only-section="$section" "$prog" "$scratch/section" 2>/dev/null || continue
        od -An -v -tx8 -w8 "$scratch/section" | sed 's/^ *0*//' >> "$scratch/data"
    done
    for name in $dl_api; do
        addr=$(awk -v n="$name" '$2 == n && $1 ~ /^[TtWwi]$/ { print $3; exit }' "$scratch/symbols" | sed 's/^0*//')
        [ -n "$addr" ] || continue
        if grep -Eq "(^|[^0-9a-f])(0x)?$addr([^0-9a-f]|\$)" "$scratch/code" || grep -qx "$addr" "$scratch/data"; then
            refuse "$prog" "calls or takes the address of $name"
        fi
    done
    for name in $known_loader; do
        if awk -v n="$name" '$2 == n && $1 ~ /^[Tt]$/ { found = 1 } END { exit !found }' "$scratch/symbols"; then
            refuse "$prog" "carries the name-service module loader ($name), which loads shared libraries"
        fi
    done
done
[ "$failed" -eq 0 ] || exit 1
echo "static_cgi_check: $# program(s) self-contained"
