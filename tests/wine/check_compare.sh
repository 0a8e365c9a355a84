#!/usr/bin/env bash
# The comparison must fail on a real difference, or a green Wine story
# proves nothing; and its rules must let through only what they name.
#
#   check_compare.sh COMPARE
set -uo pipefail
compare=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The simulator's text of a small story: one add-device, two requests that
# the simulator gives addresses of their own.
sim_text() {
    printf '%s\n' 'ZK: ZK_AddDevice: Device \Device\Zelkor1 already exist.' \
        "** Irp: 0x8A3FE040 - IRP_MJ_CREATE." "** Irp: $1 - IRP_MJ_CLOSE." > "$work/sim.txt"
    printf '%s\n' '[5 add disk] ZK: ZK_AddDevice: Device \Device\Zelkor1 already exist.' \
        "[6 irp disk create] ** Irp: 0x8A3FE040 - IRP_MJ_CREATE." \
        "[7 irp disk close] ** Irp: $1 - IRP_MJ_CLOSE." > "$work/sim.annotated"
}
sim_text 0x8A400040

# Wine's log: one DbgPrint a line. Wine's own ID query during add-device,
# and one IRP address for both requests (Wine reuses the freed IRP).
wine_log() {
    local piece
    for piece in "$@"; do
        echo "0030:warn:debugstr:vDbgPrintExWithPrefix 00000000:00000001: $piece"
    done
    echo "0030:err:winediag:nodrv_CreateWindow noise that is no DbgPrint"
}
good=('zktest: step 5: add' '** ' 'Irp: 0x14B3FE0 - IRP_MN_QUERY_ID - Device: 0x34E860.'
      'ZK: ' 'ZK_AddDevice: Device \Device\Zelkor1 already exist.'
      'zktest: step 6: irp' '** ' 'Irp: 0x14B3FE0 - IRP_MJ_CREATE.'
      'zktest: step 7: irp' '** ' 'Irp: 0x14B3FE0 - IRP_MJ_CLOSE.' 'zktest: done')

failures=0
expect() {
    local want=$1 what=$2
    shift 2
    wine_log "$@" > "$work/wine.log"
    "$compare" "$work/sim.txt" "$work/sim.annotated" "$work/wine.log" > "$work/out" 2>&1
    local got=$?
    if [[ $got -eq $want ]]; then
        echo "ok:   $what"
    else
        echo "FAIL: $what: exit $got, expected $want"
        sed 's/^/      /' "$work/out"
        failures=$((failures + 1))
    fi
}

expect 0 "the same text, Wine's ID query in add-device and a reused IRP address pass" "${good[@]}"
expect 1 "another word fails" "${good[@]/IRP_MJ_CLOSE/IRP_MJ_CLEANUP}"
expect 1 "another device name fails" "${good[@]/Zelkor1/Zelkor2}"
expect 1 "an ID query outside add-device is no rule's" "${good[@]:0:5}" 'zktest: step 6: irp' '** ' \
    'Irp: 0x14B3FE0 - IRP_MN_QUERY_ID - Device: 0x34E860.' '** ' 'Irp: 0x14B3FE0 - IRP_MJ_CREATE.' "${good[@]:8}"
expect 1 "a line Wine printed in addition fails" "${good[@]:0:11}" '** ' 'Irp: 0x14B3FE0 - IRP_MJ_CLOSE.' 'zktest: done'
expect 1 "a story that stopped early fails" "${good[@]:0:8}"
expect 1 "a step the stack driver reports failed fails" "${good[@]:0:11}" 'zktest: FAIL line 7: ended with 0x00000000, expected 0xC0000001'

expect 1 "NULL where the simulator has an object fails" "${good[@]/0x14B3FE0 - IRP_MJ_CREATE/0x0 - IRP_MJ_CREATE}"
# A number outside the simulator's address ranges is no address.
sim_text 0x8A4
expect 1 "a number that is no address must be equal" "${good[@]}"
# One simulated object must meet one Wine address.
sim_text 0x8A3FE040
expect 1 "one simulated object at two Wine addresses fails" "${good[@]/0x14B3FE0 - IRP_MJ_CLOSE/0x14B5000 - IRP_MJ_CLOSE}"

# The programs a paused story runs: their lines come from the harness, and
# the driver below the filter has the stack driver's name under Wine.
printf '%s\n' 'zkctl> lower driver:  \Driver\simbus' > "$work/sim.txt"
printf '%s\n' '[7 zkctl info 1] zkctl> lower driver:  \Driver\simbus' > "$work/sim.annotated"
program() {
    printf '%s\n' 'run_story: zktest: step 7: zkctl' "run_story: zkctl> lower driver:  \\Driver\\$1" > "$work/wine.log"
    echo '0030:warn:debugstr:vDbgPrintExWithPrefix 00000000:00000001: zktest: done' >> "$work/wine.log"
    "$compare" "$work/sim.txt" "$work/sim.annotated" "$work/wine.log" > "$work/out" 2>&1
}
program zktest && echo "ok:   a program's lines from the harness, the stack driver below the filter" ||
    { echo "FAIL: a program's lines from the harness"; sed 's/^/      /' "$work/out"; failures=$((failures + 1)); }
program other && { echo "FAIL: another driver below the filter passed"; failures=$((failures + 1)); } ||
    echo "ok:   another driver below the filter fails"

echo "$((12 - failures)) passed, $failures failed"
(( failures == 0 ))
