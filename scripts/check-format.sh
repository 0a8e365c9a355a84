#!/usr/bin/env bash
# Checks that the C++ sources are laid out as .clang-format says (the
# directories' own .clang-format files refine it). Lists the files that
# differ and the number of lines reformatting would change.
#
#   check-format.sh          check every tracked .cpp and .h
#   check-format.sh --fix    reformat them in place
set -euo pipefail
cd "$(dirname "$0")/.."
format=$(command -v clang-format || command -v clang-format-14 || true)
if [[ -z $format ]]; then
    echo "check-format: clang-format not found (scripts/install-deps.sh installs it)" >&2
    exit 1
fi
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [[ ${1:-} == --fix ]]; then
    "$format" -i "${files[@]}"
    exit 0
fi

changed=0 lines=0
for file in "${files[@]}"; do
    count=$("$format" "$file" | diff "$file" - | grep -c '^[<>]' || true)
    if [[ $count -ne 0 ]]; then
        echo "$file: $count lines"
        changed=$((changed + 1)) lines=$((lines + count))
    fi
done
if [[ $changed -ne 0 ]]; then
    echo "check-format: $changed of ${#files[@]} files differ ($lines lines); scripts/check-format.sh --fix"
    exit 1
fi
echo "check-format: ${#files[@]} files formatted"
