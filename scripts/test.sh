#!/usr/bin/env bash
# Builds everything (the simulator, the tests and zelkor.sys) and runs every
# test twice: in the plain build, and under AddressSanitizer and UBSan.
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
