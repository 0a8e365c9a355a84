#!/usr/bin/env bash
# Builds the simulator alone and runs it on its demo scenario. Extra
# arguments go to zelkor-sim (try --help). Installs only what the simulator
# needs (scripts/test.sh installs the rest), and keeps the build's own output
# out of the way: the first screen is the demo's.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --demo
mkdir -p build
if ! { cmake --preset demo && cmake --build --preset demo --target zelkor-sim; } > build/demo.log 2>&1; then
    echo "demo: the build failed; its last lines (all in build/demo.log):" >&2
    tail -n 30 build/demo.log >&2
    exit 1
fi
exec ./build/demo/zelkor-sim "$@"
