#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that
# are missing. Quick and silent apart from one line when all are present.
set -euo pipefail

packages=(
    cmake
    ninja-build
    clang
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
    python3
    openssl
    osslsigncode
    libcli11-dev
    nlohmann-json3-dev
    libsgutils2-dev
    wine64          # the Wine stories run the real zelkor.sys (ctest -L wine)
)

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

echo "install-deps: installing ${missing[*]}"
"${as_root[@]}" apt-get update -qq
if ! "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
    # Wine is only for the Wine stories, which skip without it, saying so.
    rest=()
    for package in "${missing[@]}"; do [[ $package == wine64 ]] || rest+=("$package"); done
    [[ ${#rest[@]} -lt ${#missing[@]} ]] || exit 1
    echo "install-deps: wine64 cannot be installed here; the Wine stories will be skipped" >&2
    [[ ${#rest[@]} -eq 0 ]] || "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${rest[@]}"
fi
