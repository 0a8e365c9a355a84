#!/usr/bin/env bash
# Every kernel routine platform/*.h declares for the Windows build must be in
# ntoskrnl.def: the image links against an import library made from that list,
# so a missing name breaks the link the moment driver code first calls it.
#
#   check_def.sh CXX SOURCE_DIR DEF
set -euo pipefail

cxx=$1 source_dir=$2 def=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf '#include "platform/nt.h"\n' > "$work/declarations.cpp"
# Out-of-line declarations only: the inline ones (stack-location helpers, the
# tick count and IRQL reads) are no imports. Zk* routines are the project's own.
"$cxx" --target=x86_64-pc-windows-msvc -std=c++20 -ffreestanding -fms-extensions -fsyntax-only \
    -I"$source_dir" -Xclang -ast-dump "$work/declarations.cpp" \
    | grep -E '^[|` -]*FunctionDecl ' \
    | grep -vE " implicit |' inline( |$)|' extern inline" \
    | sed -E "s/^.*FunctionDecl [^<]*<[^>]*> [^ ]+ ((used|referenced|invalid) )*([A-Za-z_][A-Za-z0-9_]*) '.*$/\3/" \
    | grep -v '^Zk' | sort -u > "$work/declared"
sed -e 's/;.*//' "$def" | awk 'started && NF { print $1 } toupper($1) == "EXPORTS" { started = 1 }' \
    | sort -u > "$work/listed"

count=$(wc -l < "$work/declared")
if [[ $count -lt 10 ]]; then
    echo "FAIL: found only $count kernel routine declarations in platform/nt.h; the parse is broken"
    exit 1
fi
missing=$(comm -23 "$work/declared" "$work/listed" | tr '\n' ' ')
if [[ -n $missing ]]; then
    echo "FAIL: declared in platform/*.h but not listed in $(basename "$def"): $missing"
    exit 1
fi
echo "all $count kernel routines declared in platform/*.h are listed in $(basename "$def")"
