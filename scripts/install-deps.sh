#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that
# are missing, quietly: one line when all are present, one line saying what
# is installed (apt's own output goes to a log, shown only if it fails).
#
#   install-deps.sh          everything: the build, the Windows images, the
#                            tests, the tools, Wine (scripts/test.sh)
#   install-deps.sh --demo   what the simulator alone needs (scripts/demo.sh)
set -euo pipefail

demo_packages=(
    cmake
    ninja-build
    clang
)
packages=(
    "${demo_packages[@]}"
    lld
    llvm
    libclang-rt-14-dev
    libgtest-dev
    libgmock-dev
    googletest
    libbenchmark-dev
    mingw-w64-x86-64-dev
    g++-mingw-w64-x86-64-win32
    valgrind
    clang-tidy      # scripts/check-tidy.sh (ctest -L house)
    clang-format    # scripts/check-format.sh
    python3
    openssl
    osslsigncode
    libcli11-dev
    nlohmann-json3-dev
    libsgutils2-dev
    wine64          # the Wine stories run the real zelkor.sys (ctest -L wine)
    chromium-headless-shell  # renders zelkor-log's picture (zelkor-log.PlotRendersInABrowser)
    tshark          # reads zelkor-log's USB export back (zelkor-log.PcapDissectsInTshark)
)
if [[ ${1:-} == --demo ]]; then
    packages=("${demo_packages[@]}")
elif [[ $# -ne 0 ]]; then
    echo "usage: $0 [--demo]" >&2
    exit 2
fi
# Only some tests need these; they skip, saying so, where they cannot be installed.
optional=(wine64 chromium-headless-shell tshark)

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ $status == *" installed" ]] || missing+=("$package")
done

if [[ ${#missing[@]} -eq 0 ]]; then
    echo "install-deps: all ${#packages[@]} packages present"
    exit 0
fi

as_root=(env DEBIAN_FRONTEND=noninteractive)
if [[ $(id -u) -ne 0 ]]; then
    command -v sudo > /dev/null || { echo "install-deps: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
    as_root=(sudo "${as_root[@]}")
fi

log=$(mktemp "${TMPDIR:-/tmp}/install-deps.XXXXXX.log")
apt_install() { "${as_root[@]}" apt-get install -y -qq --no-install-recommends "$@" >> "$log" 2>&1; }
failed() {
    echo "install-deps: apt-get failed; its last lines (all in $log):" >&2
    tail -n 20 "$log" >&2
    exit 1
}

echo "install-deps: installing ${missing[*]} (quietly; apt's output goes to $log)"
"${as_root[@]}" apt-get update -qq >> "$log" 2>&1 || failed
if ! apt_install "${missing[@]}"; then
    # The optional packages one by one: the tests that need one (Wine's
    # stories, the analyzer's picture) skip without it, saying so.
    rest=()
    for package in "${missing[@]}"; do [[ " ${optional[*]} " == *" $package "* ]] || rest+=("$package"); done
    [[ ${#rest[@]} -lt ${#missing[@]} ]] || failed
    [[ ${#rest[@]} -eq 0 ]] || apt_install "${rest[@]}" || failed
    for package in "${optional[@]}"; do
        [[ " ${missing[*]} " == *" $package "* ]] || continue
        apt_install "$package" ||
            echo "install-deps: $package cannot be installed here; the tests that need it will be skipped" >&2
    done
fi
rm -f "$log"
echo "install-deps: done"
