#!/usr/bin/env bash
# Inspects zkctl.exe as Windows' loader sees it: an x64 console program (not
# a DLL) that imports only from the system's own KERNEL32.dll, ADVAPI32.dll,
# SETUPAPI.dll and msvcrt.dll (the C++ runtime is linked in), and opens the control device and sends it
# the request through DeviceIoControl; it carries a version resource and a
# manifest that asks for no elevation (asInvoker).
#
#   check_console_image.sh READOBJ IMAGE
set -uo pipefail

if [[ $# -ne 2 ]]; then
    echo "usage: $0 READOBJ IMAGE" >&2
    exit 2
fi
readobj=$1 image=$2
[[ -r $image ]] || { echo "FAIL: cannot read $image"; exit 1; }

headers=$("$readobj" --file-headers "$image") || { echo "FAIL: $readobj cannot read $image"; exit 1; }
imports=$("$readobj" --coff-imports "$image") || { echo "FAIL: $readobj cannot read the imports of $image"; exit 1; }
resources=$("$readobj" --coff-resources "$image" 2> /dev/null || true)

failures=0
check() {  # DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then echo "ok:   $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
has() { grep -q -- "$1" <<< "$2"; }

check "machine is x64 (AMD64)" has "Machine: IMAGE_FILE_MACHINE_AMD64 (0x8664)" "$headers"
check "a PE32+ image" has "Magic: 0x20B" "$headers"
check "subsystem is the Windows console" has "Subsystem: IMAGE_SUBSYSTEM_WINDOWS_CUI (0x3)" "$headers"
check "an executable image" has "IMAGE_FILE_EXECUTABLE_IMAGE" "$headers"
check "not a DLL" bash -c '! grep -q IMAGE_FILE_DLL <<< "$1"' _ "$headers"

modules=$(awk '/^ *Name: / { print $2 }' <<< "$imports" | sort -u | tr '\n' ' ')
unexpected=$(tr ' ' '\n' <<< "$modules" | grep -v -x -i -e KERNEL32.dll -e msvcrt.dll -e ADVAPI32.dll -e SETUPAPI.dll -e '' || true)
check "imports only the system's KERNEL32, ADVAPI32, SETUPAPI and msvcrt (found: $modules)" test -z "$unexpected"
check "imports CreateFileA" has "Symbol: CreateFileA " "$imports"
check "imports DeviceIoControl" has "Symbol: DeviceIoControl " "$imports"
if [[ $(basename "$image") == zkctl.exe ]]; then
    check "carries a version resource" has "Type: VERSIONINFO (ID 16)" "$resources"
    check "carries a manifest" has "Type: MANIFEST (ID 24)" "$resources"
    check "the manifest asks for no elevation (asInvoker)" grep -q -a 'level="asInvoker"' "$image"
fi

if [[ $failures -ne 0 ]]; then
    echo "$failures check(s) failed"
    exit 1
fi
