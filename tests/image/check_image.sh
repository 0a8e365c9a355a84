#!/usr/bin/env bash
# Inspects the linked driver image for what the kernel's loader and its
# exception dispatcher rely on, none of which the simulated build exercises.
#
#   check_image.sh READOBJ OBJDUMP PE_CHECKSUM IMAGE MAP DEF
#
# READOBJ/OBJDUMP: llvm-readobj and llvm-objdump; PE_CHECKSUM: the build's
# zelkor-pe-checksum; MAP: the lld-link map of IMAGE; DEF: the ntoskrnl.exe
# import definitions the image was linked against.
set -uo pipefail

if [[ $# -ne 6 ]]; then
    echo "usage: $0 READOBJ OBJDUMP PE_CHECKSUM IMAGE MAP DEF" >&2
    exit 2
fi
readobj=$1 objdump=$2 pe_checksum=$3 image=$4 map=$5 def=$6

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
checks=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); checks=$((checks + 1)); }
pass() { echo "ok:   $*"; checks=$((checks + 1)); }
hex() { printf '0x%X' "$1"; }

for f in "$image" "$map" "$def"; do
    [[ -r $f ]] || { echo "FAIL: cannot read $f"; exit 1; }
done
"$readobj" --file-headers --sections "$image" > "$work/headers" || { echo "FAIL: $readobj cannot read $image"; exit 1; }

# One value per line: file.<Field>, opt.<Field>, and per section
# section.<Name> <Characteristics>.
awk '
    /^ImageFileHeader \{/ { block = "file"; next }
    /^ImageOptionalHeader \{/ { block = "opt"; next }
    /^DOSHeader \{/ { block = "dos"; next }
    /^Sections \[/ { block = "sections"; next }
    function last() { v = $NF; gsub(/[()]/, "", v); return v }
    block == "file" || block == "opt" {
        if ($1 ~ /:$/ && NF >= 2) { k = $1; sub(/:$/, "", k); if (!((block "." k) in seen)) { seen[block "." k]; print block "." k, last() } }
        else if ($1 == "Characteristics") print block ".Characteristics", last()
    }
    block == "sections" && $1 == "Name:" { name = $2 }
    block == "sections" && $1 == "Characteristics" { print "section." name, last() }
' "$work/headers" > "$work/values"
# mawk has no strtonum: addresses are parsed by hand (they fit a double).
hexval='function hexval(s,   v, i, c) { sub(/^0[xX]/, "", s); v = 0; for (i = 1; i <= length(s); i++) { c = index("0123456789abcdef", tolower(substr(s, i, 1))); if (c == 0) return -1; v = v * 16 + c - 1 } return v }'
value() { awk -v k="$1" '$1 == k { print $2; exit }' "$work/values"; }

# --- Header -----------------------------------------------------------------
machine=$(value file.Machine)
[[ $machine == 0x8664 ]] && pass "machine is AMD64" || fail "machine is '$machine', not AMD64 (0x8664)"

subsystem=$(value opt.Subsystem)
[[ $subsystem == 0x1 ]] && pass "subsystem is native" || fail "subsystem is '$subsystem', not native (0x1)"

file_flags=$(value file.Characteristics)
if (( file_flags & 0x2 )) && ! (( file_flags & 0x1 )) && ! (( file_flags & 0x2000 )); then
    pass "executable image, relocations kept, not a DLL"
else
    fail "file characteristics $file_flags: want EXECUTABLE_IMAGE (0x2), no RELOCS_STRIPPED (0x1), no DLL (0x2000)"
fi

dll_flags=$(value opt.Characteristics)
for want in 0x40:DYNAMIC_BASE 0x100:NX_COMPAT 0x2000:WDM_DRIVER; do
    bit=${want%%:*} name=${want#*:}
    (( dll_flags & bit )) && pass "DllCharacteristics has $name" || fail "DllCharacteristics $dll_flags lacks $name ($bit)"
done
(( dll_flags & 0x8000 )) && fail "DllCharacteristics $dll_flags has TERMINAL_SERVER_AWARE, a user-mode flag" \
                         || pass "DllCharacteristics has no user-mode flags"

tls=$(value opt.TLSTableSize)
[[ $tls == 0x0 ]] && pass "no TLS directory" || fail "the image has a TLS directory ($tls bytes): the kernel never runs TLS callbacks"

wx=$(while read -r key flags; do
    [[ $key == section.* ]] && (( flags & 0x20000000 )) && (( flags & 0x80000000 )) && echo -n "${key#section.} "
done < "$work/values")
[[ -z $wx ]] && pass "no section is both writable and executable" || fail "writable and executable sections: $wx"

# --- Entry point ------------------------------------------------------------
image_base=$(value opt.ImageBase)
entry_rva=$(value opt.AddressOfEntryPoint)
driver_entry=$(awk '$2 == "DriverEntry" && $3 ~ /^[0-9a-fA-F]+$/ { print "0x" $3; exit }' "$map")
if [[ -z $driver_entry ]]; then
    fail "DriverEntry is not in the map (is it declared extern \"C\"?)"
elif (( image_base + entry_rva == driver_entry )); then
    pass "entry point is DriverEntry ($(hex "$driver_entry"))"
else
    fail "entry point $(hex $((image_base + entry_rva))) is not DriverEntry ($(hex "$driver_entry"))"
fi

# --- Imports ----------------------------------------------------------------
"$readobj" --coff-imports "$image" > "$work/imports" || fail "cannot read the imports"
awk '
    /^Import \{/ { kind = "import"; next }
    /^DelayImport \{/ { kind = "delay"; next }
    kind != "" && $1 == "Name:" { print kind, "dll", $2 }
    kind != "" && $1 == "Symbol:" { print kind, "symbol", ($2 ~ /^\(/ ? "<ordinal>" : $2) }
' "$work/imports" > "$work/imported"
sed -e 's/;.*//' "$def" | awk 'started && NF { print $1 } toupper($1) == "EXPORTS" { started = 1 }' | sort -u > "$work/def_names"

other_dlls=$(awk '$2 == "dll" && tolower($3) != "ntoskrnl.exe" { print $3 }' "$work/imported" | sort -u | tr '\n' ' ')
[[ -z $other_dlls ]] && pass "imports from ntoskrnl.exe only" || fail "imports from other modules: $other_dlls"
grep -q '^delay ' "$work/imported" && fail "the image has delay-load imports" || pass "no delay-load imports"

awk '$2 == "symbol" { print $3 }' "$work/imported" | sort -u > "$work/symbols"
import_count=$(wc -l < "$work/symbols")
missing=$(comm -23 "$work/symbols" "$work/def_names" | tr '\n' ' ')
if [[ $import_count -eq 0 ]]; then
    fail "the image imports nothing"
elif [[ -z $missing ]]; then
    pass "all $import_count imported routines are listed in $(basename "$def")"
else
    fail "imported but not listed in $(basename "$def"): $missing"
fi

# --- Base relocations ---------------------------------------------------------
"$readobj" --coff-basereloc "$image" > "$work/relocs" || fail "cannot read the base relocations"
dir64=$(grep -c 'Type: DIR64' "$work/relocs")
others=$(awk '$1 == "Type:" && $2 != "DIR64" && $2 != "ABSOLUTE" { print $2 }' "$work/relocs" | sort -u | tr '\n' ' ')
reloc_size=$(value opt.BaseRelocationTableSize)
if [[ $reloc_size == 0x0 || $dir64 -eq 0 ]]; then
    fail "no base relocations: the image could not be moved from its preferred base"
else
    pass "$dir64 base relocations"
fi
[[ -z $others ]] && pass "base relocations are all 64-bit" \
                 || fail "relocation types other than DIR64 ($others): an absolute 32-bit address breaks above 4 GiB"

# --- Checksum -----------------------------------------------------------------
if "$pe_checksum" --verify "$image" > /dev/null; then
    pass "header checksum matches the file"
else
    fail "header checksum does not match the file (the loader refuses such a driver)"
fi
# The verifier must notice a changed byte, or the check above proves nothing.
cp "$image" "$work/corrupt.sys"
offset=$(( $(stat -c %s "$image") / 2 ))
original=$(od -An -tu1 -j "$offset" -N1 "$image" | tr -d ' ')
printf "\\$(printf '%03o' $(( (original + 1) & 0xFF )))" | dd of="$work/corrupt.sys" bs=1 seek="$offset" conv=notrunc status=none
if "$pe_checksum" --verify "$work/corrupt.sys" > /dev/null 2>&1; then
    fail "the checksum verifier accepts a corrupted image"
else
    pass "the checksum verifier rejects a corrupted image"
fi

# --- Unwind data and the guarded call -----------------------------------------
"$readobj" --unwind "$image" > "$work/unwind" || fail "cannot read the unwind data"
# start end handler (handler 0 when none), one line per runtime function.
awk '
    function addr(s) { gsub(/[()]/, "", s); return s }
    $1 == "StartAddress:" { if (start != "") print start, end, handler; start = addr($NF); end = ""; handler = "0" }
    $1 == "EndAddress:" { end = addr($NF) }
    $1 == "Handler:" { handler = addr($NF) }
    END { if (start != "") print start, end, handler }
' "$work/unwind" > "$work/functions"

guarded=$(awk '$2 == "ZkGuardedCall" && $3 ~ /^[0-9a-fA-F]+$/ { print "0x" $3; exit }' "$map")
c_handler=$(awk '$2 == "__C_specific_handler" && $3 ~ /^[0-9a-fA-F]+$/ { print "0x" $3; exit }' "$map")
if [[ -z $guarded ]]; then
    fail "ZkGuardedCall is not in the map"
elif [[ -z $c_handler ]]; then
    fail "__C_specific_handler is not linked in: ZkGuardedCall has no exception handler"
else
    found=$(awk -v g="$((guarded))" -v h="$((c_handler))" "$hexval"'
        { if (hexval($1) == g) { print (hexval($3) == h ? "handled" : "unhandled"); exit } }
    ' "$work/functions")
    case $found in
    handled) pass "ZkGuardedCall's unwind data names __C_specific_handler" ;;
    unhandled) fail "ZkGuardedCall's unwind data has no __C_specific_handler: the guarded region was lost" ;;
    *) fail "ZkGuardedCall has no unwind data" ;;
    esac
fi

# The exception code is taken in the filter (an unwinder need not hand it to
# the handler block: Wine's passes 0), so the region has a filter function;
# and the routine runs in a frame of its own that calls it, not one that
# jumps to it.
if grep -q 'filt\$0@0@ZkGuardedCall' "$map"; then
    pass "ZkGuardedCall takes the exception code in a filter"
else
    fail "ZkGuardedCall has no filter function: the exception code is read in the handler block"
fi
runner=$(awk '$2 ~ /ZkRunGuardedRoutine/ && $3 ~ /^[0-9a-fA-F]+$/ { print "0x" $3; exit }' "$map")
if [[ -z $runner ]]; then
    fail "ZkRunGuardedRoutine is not in the map (inlined into the guarded block?)"
else
    body=$("$objdump" -d --no-show-raw-insn --start-address="$runner" --stop-address=$((runner + 32)) "$image" |
           awk '/^ *[0-9a-f]+:/ { print $2, $3 } $2 ~ /^ret/ { exit }')
    if grep -q '^call' <<< "$body" && ! grep -q '^jmp' <<< "$body"; then
        pass "ZkRunGuardedRoutine calls the routine from a frame of its own"
    else
        fail "ZkRunGuardedRoutine does not call the routine (a tail jump?): $(tr '\n' ';' <<< "$body")"
    fi
fi

if [[ -n $driver_entry ]] && awk -v d="$((driver_entry))" "$hexval"'{ if (hexval($1) == d) f = 1 } END { exit !f }' "$work/functions"; then
    pass "DriverEntry has unwind data"
else
    fail "DriverEntry has no unwind data (were the objects compiled without -funwind-tables?)"
fi

# Every instruction that moves the stack pointer or calls must lie in a
# function with unwind data: without it the kernel takes the frame for a leaf
# and unwinds through garbage when an exception passes.
"$objdump" -d --no-show-raw-insn "$image" > "$work/disassembly" || fail "cannot disassemble the image"
uncovered=$(awk "$hexval"'
    FNR == NR { n++; lo[n] = hexval($1); hi[n] = hexval($2); next }
    /^ *[0-9a-f]+:/ {
        a = $1; sub(/:$/, "", a); op = $2
        if (op ~ /^(push|call)/ || (op ~ /^sub/ && $NF ~ /%rsp$/)) {
            x = hexval(a)
            for (i = 1; i <= n; i++) if (x >= lo[i] && x < hi[i]) next
            printf "0x%s(%s) ", a, op
            if (++bad == 10) exit
        }
    }
' "$work/functions" "$work/disassembly")
[[ -z $uncovered ]] && pass "every frame-building instruction has unwind data" \
                    || fail "instructions outside any unwind range: $uncovered"

echo "$((checks - failures)) passed, $failures failed"
(( failures == 0 ))
