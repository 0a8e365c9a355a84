#!/usr/bin/env bash
# Builds the simulator and runs it on its demo scenario. Extra arguments go to
# zelkor-sim (try --help).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target zelkor-sim
exec ./build/default/zelkor-sim "$@"
