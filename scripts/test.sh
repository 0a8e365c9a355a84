#!/usr/bin/env bash
# Builds everything (the simulator, the tests and zelkor.sys) and runs every
# test twice: in the plain build, and under AddressSanitizer and UBSan; then
# the unit and golden tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

# The plain build's tests include the label `wine`: the real zelkor.sys
# under Wine (tests/wine/), skipped with a message where Wine is missing.
echo "== plain build, with zelkor.sys"
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"

echo "== AddressSanitizer and UBSan build"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

# Completions run on the simulated bus's worker thread. The test preset
# leaves out Wine, the image checks and the browser: they run no driver
# code in this process, and would only cost time.
echo "== ThreadSanitizer build"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs"
