#!/usr/bin/env bash
# Every routine a driver image imports must be one that Windows' ntoskrnl.exe
# exports. The list comes from mingw-w64's import library of ntoskrnl.exe, a
# source independent of this project and of Wine (whose ntoskrnl exports a
# few routines Windows' does not, IoCreateDeviceSecure among them, so a
# driver using one would run under Wine and fail to load on Windows).
#
#   check_exports.sh READOBJ NM LIBNTOSKRNL IMAGE...
set -uo pipefail

if [[ $# -lt 4 ]]; then
    echo "usage: $0 READOBJ NM LIBNTOSKRNL IMAGE..." >&2
    exit 2
fi
readobj=$1 nm=$2 lib=$3
shift 3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

[[ -r $lib ]] || { echo "FAIL: cannot read $lib (package mingw-w64-x86-64-dev)"; exit 1; }
"$nm" "$lib" 2> /dev/null | awk '$2 == "I" && $3 ~ /^__imp_/ { sub(/^__imp_/, "", $3); print $3 }' | sort -u > "$work/exports"
count=$(wc -l < "$work/exports")
# The list must be the real one: a few names every kernel has, one it lacks.
for name in IoCreateDevice IofCallDriver DbgPrint; do
    grep -qx "$name" "$work/exports" || { echo "FAIL: $lib does not list $name: not an ntoskrnl.exe import library"; exit 1; }
done
grep -qx IoCreateDeviceSecure "$work/exports" && { echo "FAIL: $lib lists IoCreateDeviceSecure, which Windows' ntoskrnl.exe does not export"; exit 1; }

passed=0 failed=0
for image in "$@"; do
    name=$(basename "$image")
    if ! "$readobj" --coff-imports "$image" > "$work/imports"; then
        echo "FAIL: $readobj cannot read $image"
        failed=$((failed + 1))
        continue
    fi
    awk '$1 == "Name:" { dll = tolower($2) } $1 == "Symbol:" && dll == "ntoskrnl.exe" { print $2 }' "$work/imports" | sort -u > "$work/symbols"
    unknown=$(comm -23 "$work/symbols" "$work/exports" | tr '\n' ' ')
    if [[ ! -s $work/symbols ]]; then
        echo "FAIL: $name imports nothing from ntoskrnl.exe"
        failed=$((failed + 1))
    elif [[ -n $unknown ]]; then
        echo "FAIL: $name imports routines Windows' ntoskrnl.exe does not export: $unknown"
        failed=$((failed + 1))
    else
        echo "ok:   all $(wc -l < "$work/symbols") routines $name imports are among the $count exports of ntoskrnl.exe"
        passed=$((passed + 1))
    fi
done
echo "$passed passed, $failed failed"
(( failed == 0 ))
