#!/usr/bin/env bash
# What a system with memory integrity (HVCI) and kernel shadow stacks (CET)
# asks of a driver image before it loads it, and what the code may not do
# once loaded, as far as the image shows it:
#   - NX-compatible and CET shadow-stack compatible;
#   - no section both writable and executable, no executable section that is
#     discardable (code the loader drops once the entry routine returned);
#   - no import of a routine that only gives executable memory or mappings;
#   - every call of ExAllocatePoolWithTag asks for NonPagedPoolNx (or paged
#     pool), every call of MmMapLockedPagesSpecifyCache for MdlMappingNoExecute,
#     with the argument visible as a constant at the call site.
#
#   check_integrity.sh READOBJ OBJDUMP IMAGE MAP
set -uo pipefail

if [[ $# -ne 4 ]]; then
    echo "usage: $0 READOBJ OBJDUMP IMAGE MAP" >&2
    exit 2
fi
readobj=$1 objdump=$2 image=$3 map=$4

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
checks=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); checks=$((checks + 1)); }
pass() { echo "ok:   $*"; checks=$((checks + 1)); }

for f in "$image" "$map"; do
    [[ -r $f ]] || { echo "FAIL: cannot read $f"; exit 1; }
done

# --- Flags ------------------------------------------------------------------
"$readobj" --file-headers --sections --coff-debug-directory "$image" > "$work/headers" \
    || { echo "FAIL: $readobj cannot read $image"; exit 1; }
dll_flags=$(awk '/^ImageOptionalHeader \{/ { o = 1 } o && $1 == "Characteristics" { v = $NF; gsub(/[()]/, "", v); print v; exit }' "$work/headers")
(( dll_flags & 0x100 )) && pass "NX-compatible (NX_COMPAT)" || fail "DllCharacteristics $dll_flags lacks NX_COMPAT (0x100)"
grep -q 'IMAGE_DLL_CHARACTERISTICS_EX_CET_COMPAT' "$work/headers" \
    && pass "CET shadow-stack compatible (EX_CET_COMPAT in the debug directory)" \
    || fail "no EX_CET_COMPAT in the debug directory: link with /cetcompat"

# name characteristics, one line per section
awk '$1 == "Name:" { name = $2 } /^ *Characteristics \[/ && name != "" { v = $NF; gsub(/[()\[]/, "", v); print name, v; name = "" }' \
    "$work/headers" > "$work/sections"
[[ -s $work/sections ]] || fail "no sections read"
wx="" discard=""
while read -r name flags; do
    (( flags & 0x20000000 )) && (( flags & 0x80000000 )) && wx+="$name "
    (( flags & 0x02000000 )) && (( flags & (0x20000000 | 0x20) )) && discard+="$name "
done < "$work/sections"
[[ -z $wx ]] && pass "no section is both writable and executable" || fail "writable and executable sections: $wx"
[[ -z $discard ]] && pass "no executable section is discardable" || fail "discardable code sections: $discard"

# --- Imports ----------------------------------------------------------------
"$readobj" --coff-imports "$image" | awk '$1 == "Symbol:" { print $2 }' | sort -u > "$work/imports"
# Routines that give executable pool or mappings without a no-execute choice.
forbidden="ExAllocatePool ExAllocatePoolWithQuota ExAllocatePoolWithQuotaTag MmMapLockedPages MmMapIoSpace
MmAllocateContiguousMemory MmAllocateContiguousMemorySpecifyCache MmAllocateNonCachedMemory
ExInitializeNPagedLookasideList MmMapLockedPagesWithReservedMapping"
found=$(for name in $forbidden; do grep -qx "$name" "$work/imports" && echo -n "$name "; done)
[[ -z $found ]] && pass "no import gives executable memory ($(wc -l < "$work/imports") imports)" \
                || fail "imports that give executable memory: $found"

# --- Call sites ---------------------------------------------------------------
"$objdump" -d --no-show-raw-insn "$image" > "$work/disassembly" || { fail "cannot disassemble the image"; exit 1; }
# A routine is reached through its import thunk (in the map) or its import
# address table slot (__imp_).
address_of() { awk -v n="$1" '$2 == n && $3 ~ /^[0-9a-fA-F]+$/ { print tolower($3); exit }' "$map" | sed 's/^0*//'; }

# check_calls ROUTINE WHAT DESTINATION MASK ACCEPT: every call (or tail jump)
# of ROUTINE must be preceded, within the 12 instructions before it and after
# any other call, by the instruction that sets the argument (an instruction
# whose destination matches DESTINATION, an awk regular expression), and that
# instruction must put a constant there with a bit of MASK set, or equal to
# ACCEPT. A zeroing xor puts 0 there.
check_calls() {
    local routine=$1 what=$2 destination=$3 mask=$4 accept=$5
    local thunk iat
    thunk=$(address_of "$routine") iat=$(address_of "__imp_$routine")
    if [[ -z $thunk$iat ]]; then
        pass "$routine is not called"
        return
    fi
    local result
    result=$(awk -v thunk="${thunk:-none}" -v iat="${iat:-none}" -v destination="$destination" -v mask="$mask" -v accept="$accept" '
        function band(a, b,   r, bit) { r = 0; bit = 1; while (a > 0 && b > 0) { if (a % 2 == 1 && b % 2 == 1) r += bit; a = int(a / 2); b = int(b / 2); bit *= 2 } return r }
        /^ *[0-9a-f]+:/ {
            n++; line[n % 16] = $0
            if ($2 !~ /^(callq|call|jmp|jmpq)$/) next
            if ($0 ~ /# 0x/) { split($0, parts, "# 0x"); target = parts[2]; sub(/ .*/, "", target) }
            else { target = $3 }
            sub(/^0x/, "", target); sub(/^0*/, "", target)
            if (target != thunk && target != iat) next
            site = $1; sub(/:$/, "", site); sub(/^0*/, "", site)
            if (site == thunk) next  # the thunk itself
            calls++
            seen = 0; ok = 0
            for (k = 1; k <= 12 && k < n; k++) {
                insn = line[(n - k) % 16]
                split(insn, f, /[ \t]+/)
                if (insn ~ /\t(callq|call|jmp|jmpq)\t/) break
                if (insn !~ destination) continue
                seen = 1
                if (insn ~ /\txor/) { v = 0; ok = (v == accept) }
                else if (insn ~ /\tmov[lq]?\t\$-?[0-9]+,/ && match(insn, /\$-?[0-9]+/)) {
                    v = substr(insn, RSTART + 1, RLENGTH - 1) + 0
                    if (v < 0) v += 4294967296
                    ok = band(v, mask) != 0 || v == accept
                } else seen = 0
                break
            }
            if (!seen) unseen = unseen "0x" site " "
            else if (!ok) bad = bad "0x" site " "
        }
        END { printf "%d|%s|%s\n", calls, bad, unseen }
    ' "$work/disassembly")
    local calls=${result%%|*} rest=${result#*|}
    local bad=${rest%%|*} unseen=${rest#*|}
    if [[ $calls -eq 0 ]]; then
        fail "$routine is imported but no call of it was found in the disassembly"
    elif [[ -n $bad ]]; then
        fail "$routine called without $what at $bad"
    elif [[ -n $unseen ]]; then
        fail "$routine called at $unseen with an argument the disassembly cannot see: make it a constant"
    else
        pass "all $calls calls of $routine ask for $what"
    fi
}

# x64: the pool type is the first argument (ecx); the priority of a mapping
# is the sixth, on the stack at 0x28(%rsp).
check_calls ExAllocatePoolWithTag "NonPagedPoolNx (0x200) or paged pool (1)" ', %(ecx|rcx)([^a-z0-9]|$)' 512 1
check_calls MmMapLockedPagesSpecifyCache "MdlMappingNoExecute (0x40000000)" ', 40\(%rsp\)' 1073741824 -1

echo "$((checks - failures)) passed, $failures failed"
(( failures == 0 ))
