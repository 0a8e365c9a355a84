#!/usr/bin/env bash
# Throughput and peak memory of zelkor-log on a generated capture: N requests
# (default a million) on four devices, each a SCSI read with its completion,
# its data line and a dump line, or a create without completion, every 50th
# failing with sense. Prints lines a second and peak memory for `summary`,
# `requests --json` from the file and streaming `requests -` from a pipe.
#
# Run with an optimised build: cmake --preset release && cmake --build --preset release --target zelkor-log
#   tools/zelkor-log/bench/bench.sh [N] [ZELKOR-LOG]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
count=${1:-1000000}
tool=${2:-$here/../../../build/release/tools/zelkor-log/zelkor-log}
capture=$(mktemp /tmp/zelkor-log-bench.XXXXXX)
trap 'rm -f "$capture" "$capture.time"' EXIT

LC_ALL=C awk -v n="$count" 'BEGIN {
    for (i = 0; i < n; i++) {
        ms = i * 3; t = sprintf("%d:%02d:%02d.%03d", int(ms / 3600000), int(ms / 60000) % 60, int(ms / 1000) % 60, ms % 1000)
        dev = "disk" (i % 4) "> "; irp = sprintf("0x8A%06X", (i % 4096) * 64)
        if (i % 10 == 9) { printf "%s %sIrp: %s - IRP_MJ_CREATE.\n", t, dev, irp; continue }
        printf "%s %sIrp: %s - SRB_FUNCTION_EXECUTE_SCSI: 28 00 00 00 %02X %02X 00 00 01 00 00 00 00 00 00 00 READ [10]\n", t, dev, irp, int(i / 256) % 256, i % 256
        if (i % 50 == 7) {
            printf "%s %sSrbCompletion: Irp: %s - Function: SRB_FUNCTION_EXECUTE_SCSI, IrpStatus: STATUS_IO_DEVICE_ERROR, ScsiStatus: SCSISTAT_CHECK_CONDITION, SrbStatus: SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID.\n", t, dev, irp
            printf "%s %sSrbCompletion: DataBuffer: 0xD1E00000, DataTransferLength: 0x0, SenseInfoBufferLength: 0x12.\n", t, dev
            printf "%s %sSrbCompletion: SenseCode: unknown SenseCode 0x03 0x11 0x00 -> 0x031100.\n", t, dev
            printf "%s %s70 00 03 00 00 00 00 0A  00 00 00 00 11 00 00 00  p...............\n", t, dev
            printf "%s %s00 00                                             ..              \n", t, dev
        } else {
            printf "%s %sSrbCompletion: Irp: %s - Function: SRB_FUNCTION_EXECUTE_SCSI, IrpStatus: STATUS_SUCCESS, ScsiStatus: SCSISTAT_GOOD, SrbStatus: SRB_STATUS_SUCCESS.\n", t, dev, irp
            printf "%s %sSrbCompletion: DataBuffer: 0xD1E03000, DataTransferLength: 0x10, SenseInfoBufferLength: 0x12.\n", t, dev
            printf "%s %s00 00 00 04 5A 45 4C 4B  4F 52 20 44 49 53 4B 20  ....ZELKOR DISK \n", t, dev
        }
    }
}' > "$capture"
lines=$(wc -l < "$capture")
echo "capture: $count requests, $lines lines, $(( $(stat -c %s "$capture") / 1048576 )) MiB"

# Lines a second by the processor time the program used (user and system),
# which a busy machine does not change much, and by the wall clock.
measure() {  # NAME COMMAND...: seconds and peak resident memory
    local name=$1; shift
    /usr/bin/time -o "$capture.time" -f '%e %U %S %M' "$@" > /dev/null 2> /dev/null
    read -r wall user system kib < "$capture.time"
    awk -v name="$name" -v w="$wall" -v c="$(awk -v u="$user" -v s="$system" 'BEGIN { print u + s }')" -v k="$kib" -v l="$lines" \
        'BEGIN { printf "%-24s %7.2f s cpu %9.0f lines/s   %7.2f s wall %9.0f lines/s   %7.1f MiB peak\n", name, c, (c > 0 ? l / c : 0), w, (w > 0 ? l / w : 0), k / 1024 }'
}
measure "summary" "$tool" summary "$capture"
measure "requests --json" "$tool" requests "$capture" --json
measure "requests - (streaming)" sh -c "'$tool' requests - --json < '$capture'"
