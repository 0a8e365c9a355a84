#!/usr/bin/env bash
# clang-tidy, with the checks .clang-tidy names, over the driver (driver/,
# trace/, ioctl/, internal/) and the tools (tools/): any warning fails.
# The files are those of a build's compile_commands.json, checked in
# parallel, one clang-tidy per core.
#
#   check-tidy.sh [BUILD_DIR]    (default: build/default)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
tidy=$(command -v clang-tidy || command -v clang-tidy-14 || true)
if [[ -z $tidy ]]; then
    echo "check-tidy: clang-tidy not found (scripts/install-deps.sh installs it)" >&2
    exit 1
fi
if [[ ! -f $build/compile_commands.json ]]; then
    echo "check-tidy: no $build/compile_commands.json: configure that build first" >&2
    exit 1
fi

files=$(python3 - "$build/compile_commands.json" "$PWD" <<'PY'
import json, os, re, sys
root = os.path.realpath(sys.argv[2])
wanted = re.compile(r'^(driver|trace|ioctl|internal|tools)/')
seen = set()
for entry in json.load(open(sys.argv[1])):
    path = os.path.realpath(os.path.join(entry['directory'], entry['file']))
    relative = os.path.relpath(path, root)
    if wanted.match(relative) and relative not in seen:
        seen.add(relative)
        print(relative)
PY
)
count=$(wc -w <<< "$files")
if [[ $count -lt 30 ]]; then
    echo "check-tidy: only $count files found in $build/compile_commands.json" >&2
    exit 1
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
xargs -P "$(nproc)" -n 1 "$tidy" -p "$build" --quiet <<< "$files" > "$log" 2>&1 || status=$?
if [[ $status -ne 0 ]] || grep -qE ': (warning|error):' "$log"; then
    grep -E ': (warning|error):' "$log" | sort -u
    echo "check-tidy: FAILED ($(grep -cE ': (warning|error):' "$log" | head -1) diagnostics in $count files)"
    exit 1
fi
echo "check-tidy: $count files, no warnings"
