#!/usr/bin/env bash
# The trace messages' arguments are checked against their formats when the
# image is compiled: the kernel's dialect passes, a wrong argument fails.
#
#   check_print_format.sh CXX SOURCE_DIR
set -euo pipefail

cxx=$1 source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

compile() {
    { printf '#include "platform/nt.h"\n#include "trace/print.h"\n'
      printf 'void Trace(PZK_EXTENSION E, ULONG U, USHORT H, ULONGLONG Q, PCWSTR W) {\n%s;\n}\n' "$1"
    } > "$work/case.cpp"
    "$cxx" --target=x86_64-pc-windows-msvc -std=c++20 -ffreestanding -fms-extensions -fsyntax-only \
        -Wall -Werror -I"$source_dir" "$work/case.cpp" 2> "$work/errors"
}

status=0
good='ZK_Print(TRACE_IO, E, "0x%X 0x%hX 0x%I64X %s\n", U, H, Q, "text");
      ZK_PrintLine(E, "%02u\n", U); ZK_Print(TRACE_IO, E, "plain\n"); DbgPrint("%*S\n", 4, ZK_PrintWide(W))'
if ! compile "$good"; then
    echo "FAIL: the kernel's dialect is refused:"; cat "$work/errors"; status=1
fi
while IFS= read -r bad; do
    if compile "$bad"; then
        echo "FAIL: compiles, though an argument does not match its format: $bad"; status=1
    fi
done <<'CASES'
ZK_Print(TRACE_IO, E, "ID: 0x%hX\n", U)
ZK_PrintLine(E, "Offset: 0x%X\n", Q)
ZK_Print(TRACE_IO, E, "0x%X 0x%X\n", U)
DbgPrint("%s", U)
CASES
[[ $status -eq 0 ]] && echo "print formats: the dialect passes, 4 mismatches fail"
exit $status
