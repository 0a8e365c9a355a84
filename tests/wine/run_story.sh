#!/usr/bin/env bash
# Plays one story on the real zelkor.sys under Wine and compares the debugger
# text with the simulator's.
#
#   run_story.sh PREFIX ZELKOR_SYS ZKTEST_SYS --prepare
#   run_story.sh PREFIX ZELKOR_SYS ZKTEST_SYS STORY.scn ZELKOR_SIM COMPARE [KEEP_DIR]
#
# PREFIX: the Wine prefix, created on first use and kept (a stamp file names
# the Wine version it was made with). The stack driver zktest.sys reads the
# story from C:\zelkor-story.scn in the prefix. KEEP_DIR, when given, keeps
# the three texts (sim.txt, sim.annotated, wine.log) there.
#
# A story that pauses runs programs against the loaded drivers: the stack
# driver's entry routine returns at the `pause`, this script runs the zkctl
# lines after it as `wine zkctl.exe ...` (zkctl.exe beside ZKTEST_SYS, the
# list from zelkor-wine-programs beside COMPARE), and the stack driver's
# unload routine plays the rest. What the script adds to the log (each
# program's step, its console lines as the simulator shows them, a wrong
# exit code) starts with "run_story: ".
# Exit status 77 (a skip) only when Wine is not installed.
set -uo pipefail

if [[ $# -ne 4 && $# -lt 6 ]]; then
    echo "usage: $0 PREFIX ZELKOR_SYS ZKTEST_SYS --prepare | STORY.scn ZELKOR_SIM COMPARE [KEEP_DIR]" >&2
    exit 2
fi
prefix=$(realpath -m "$1") zelkor_sys=$2 zktest_sys=$3 story=$4

source "$(dirname "$0")/wine_env.sh"
wine_env "$prefix" "the real zelkor.sys"
services='HKLM\System\CurrentControlSet\Services'

mkdir -p "$(dirname "$prefix")"
exec 9> "$prefix.lock"
flock 9  # one story at a time in a prefix

prepare() {
    local version stamp
    version=$("$wine" --version 2>/dev/null)
    stamp=$prefix/zelkor-prefix-ready
    [[ -f $stamp && $(cat "$stamp") == "$version" ]] && return 0
    rm -rf "$prefix"
    local start=$SECONDS
    "$wine" wineboot -i > "$prefix.boot.log" 2>&1
    "$wineserver" -w
    [[ -d $prefix/drive_c/windows/system32/drivers ]] || { echo "FAIL: wineboot made no prefix (see $prefix.boot.log)"; return 1; }
    # Both drivers in one winedevice process (one service group), where the
    # stack driver can find the filter's driver object by name.
    local name
    for name in zelkor zktest; do
        "$wine" sc create $name type= kernel start= demand \
            binPath= "C:\\windows\\system32\\drivers\\$name.sys" > /dev/null 2>&1 &&
        "$wine" reg add "$services\\$name" /v Group /t REG_SZ /d zelkor /f > /dev/null 2>&1 ||
            { echo "FAIL: cannot register the $name service"; return 1; }
    done
    "$wineserver" -w
    echo "$version" > "$stamp"
    echo "prefix made in $((SECONDS - start)) s with $version"
}

prepare || exit 1
[[ $story == --prepare ]] && exit 0

sim=$5 compare=$6 keep=${7:-}
for f in "$zelkor_sys" "$zktest_sys" "$story" "$sim" "$compare"; do
    [[ -r $f ]] || { echo "FAIL: cannot read $f"; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The programs the story runs after its pause, if it pauses.
programs=$(dirname "$compare")/zelkor-wine-programs
zkctl_exe=$(dirname "$zktest_sys")/zkctl.exe
[[ -x $programs ]] || { echo "FAIL: cannot run $programs"; exit 1; }
"$programs" "$story" > "$work/programs" || { echo "FAIL: the story's programs cannot run under Wine"; exit 1; }
if [[ -s $work/programs && ! -r $zkctl_exe ]]; then
    echo "FAIL: the story runs zkctl, but $zkctl_exe is not built"
    exit 1
fi

"$sim" "$story" > "$work/sim.txt" || { echo "FAIL: the simulator refuses the story"; exit 1; }
"$sim" --annotate "$story" > "$work/sim.annotated" || exit 1

drivers=$prefix/drive_c/windows/system32/drivers
cp "$zelkor_sys" "$drivers/zelkor.sys" && cp "$zktest_sys" "$drivers/zktest.sys" &&
    cp "$story" "$prefix/drive_c/zelkor-story.scn" || { echo "FAIL: cannot copy into the prefix"; exit 1; }
if [[ -s $work/programs ]]; then
    cp "$zkctl_exe" "$prefix/drive_c/zelkor-zkctl.exe" || { echo "FAIL: cannot copy zkctl.exe into the prefix"; exit 1; }
fi

# The story's programs, while the stack driver waits at its pause: each
# announced as its step, its console lines joined into the log as the
# simulator shows them (standard output after "zkctl> ", its errors bare;
# Wine's own messages are not the program's).
run_programs() {
    local kind line expected count i arg status
    local args=()
    while read -r kind line expected count; do
        args=()
        for ((i = 0; i < count; ++i)); do
            IFS= read -r arg
            args+=("$arg")
        done
        echo "run_story: zktest: step $line: zkctl"
        "$wine" 'C:\zelkor-zkctl.exe' "${args[@]}" < /dev/null > "$work/out" 2> "$work/err"
        status=$?
        tr -d '\r' < "$work/out" | sed 's/^/run_story: zkctl> /'
        tr -d '\r' < "$work/err" | grep -v -E '^[0-9a-f]{4}:(err|warn|fixme|trace):|^wine: ' | sed 's/^/run_story: /'
        [[ $status == "$expected" ]] ||
            echo "run_story: zktest: FAIL line $line: zkctl ended with exit code $status, expected $expected"
    done < "$work/programs"
}

# A clean slate: no server and no values left by an earlier story. The first
# command starts the server and services.exe, whose drivers' debugger output
# goes where its stderr goes: into the log.
"$wineserver" -k 2> /dev/null
"$wineserver" -w
export WINEDEBUG=-all,err+all,warn+debugstr
{
    "$wine" reg delete "$services\\zelkor\\Parameters" /f
    "$wine" sc start zelkor
    "$wine" sc start zktest
    if [[ -s $work/programs ]]; then
        # Wine ends services.exe, and the drivers with it, once the last
        # program of the prefix has gone: between two of the story's programs
        # there may be none. A program waiting on a pipe holds them meanwhile.
        mkfifo "$work/keep"
        "$wine" cmd < "$work/keep" > /dev/null &
        exec 7> "$work/keep"
        run_programs
    fi
    "$wine" sc stop zktest
    "$wine" sc stop zelkor
    [[ -p $work/keep ]] && exec 7>&-
    "$wineserver" -k
    "$wineserver" -w
} > "$work/wine.log" 2>&1

[[ -n $keep ]] && mkdir -p "$keep" && cp "$work/sim.txt" "$work/sim.annotated" "$work/wine.log" "$keep/"
"$compare" "$work/sim.txt" "$work/sim.annotated" "$work/wine.log"
status=$?
if [[ $status -ne 0 ]]; then
    echo "--- the Wine log's errors:"
    grep -E ':err:|wine: ' "$work/wine.log" | grep -v -E 'winediag|systray' | head -20
fi
exit $status
