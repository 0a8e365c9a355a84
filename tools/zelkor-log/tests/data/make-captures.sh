#!/usr/bin/env bash
# Makes the test captures from story.scn: the simulator's text, then the same
# trace as a debugger log and as a debug-output viewer's saved log.
#
# The simulated clock stands still while a request is under way, so this
# script lets time pass: when the completion of one of the IRPs below is
# printed, that many milliseconds are added to its stamp and every later one.
# Run from anywhere, with the simulator built: tools/zelkor-log/tests/data/make-captures.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
sim=${ZELKOR_SIM:-$here/../../../../build/default/zelkor-sim}

"$sim" "$here/story.scn" | LC_ALL=C awk '
BEGIN {
    # IRP -> milliseconds its device took
    took["0x8A40E040"] = 2;  took["0x8A410040"] = 6;  took["0x8A412040"] = 3
    took["0x8A414040"] = 41; took["0x8A416040"] = 9;  took["0x8A418040"] = 1
    took["0x8A41A040"] = 1;  took["0x8A41C040"] = 12; took["0x8A420040"] = 5
    took["0x8A424040"] = 250
}
{
    if (match($0, /(SrbCompletion: Irp: |Irp: )0x[0-9A-F]+ - (Function|completed)/)) {
        irp = substr($0, RSTART, RLENGTH); sub(/^.*Irp: /, "", irp); sub(/ .*/, "", irp)
        if (irp in took) { shift += took[irp]; delete took[irp] }
    }
    if (match($0, /^[0-9]+:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9] /)) {
        split(substr($0, 1, RLENGTH - 1), t, /[:.]/)
        ms = ((t[1] * 60 + t[2]) * 60 + t[3]) * 1000 + t[4] + shift
        $0 = sprintf("%d:%02d:%02d.%03d %s", int(ms / 3600000), int(ms / 60000) % 60, int(ms / 1000) % 60, ms % 1000, substr($0, RLENGTH + 1))
    }
    print
}' > "$here/story.txt"

# The debugger log: its own lines around the trace, Windows line ends, and one
# line of the debugger's that is no trace line.
LC_ALL=C awk '
BEGIN { printf "Opened log file '"'"'C:\\zelkor\\story.log'"'"'\r\n0: kd> g\r\n" }
NR == 20 { printf "Break instruction exception - code 80000003 (first chance)\r\n" }
{ printf "%s\r\n", $0 }
END { printf "0: kd> .logclose\r\nClosing open log file C:\\zelkor\\story.log\r\n" }' "$here/story.txt" > "$here/story.debugger.log"

# The viewer log: one numbered, time-stamped line for every DbgPrint call, so a
# trace line comes in two or three pieces (stamp, trailer, message); the
# viewer drops the blank after the stamp. Its clock runs 3 seconds ahead.
# One trailer piece lost its message (piece 49), as when the viewer missed a call.
LC_ALL=C awk '
function piece(text) { printf "%d\t%.8f\t%s\r\n", ++n, clock, text }
{
    line = $0; clock += 0.00001
    if (match(line, /^[0-9]+:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9] /)) {
        split(substr(line, 1, RLENGTH - 1), t, /[:.]/)
        clock = (t[1] * 60 + t[2]) * 60 + t[3] + t[4] / 1000 + 3
        piece(substr(line, 1, RLENGTH - 1)); line = substr(line, RLENGTH + 1)
    }
    if (n == 48) piece("cd0> ")
    if (match(line, /^(disk0> |cd0> |ZK: )/)) { piece(substr(line, 1, RLENGTH)); line = substr(line, RLENGTH + 1) }
    piece(line)
}' "$here/story.txt" > "$here/story.viewer.log"
