#!/usr/bin/env bash
# Compiles the layout checks (compile-only; a wrong number is a static_assert).
#
#   check_layouts.sh ddk      CXX SOURCE_DIR MINGW_INCLUDE   (e.g. /usr/x86_64-w64-mingw32/include)
#   check_layouts.sh platform CXX SOURCE_DIR
set -euo pipefail

mode=$1
cxx=$2
source_dir=$3
here=$source_dir/tests/image
common=(-std=c++20 -fsyntax-only -Wall -Wextra -Werror)

case $mode in
ddk)
    mingw_include=$4
    if [[ ! -f $mingw_include/ddk/ntddk.h ]]; then
        echo "FAIL: the mingw-w64 DDK headers are missing ($mingw_include/ddk/ntddk.h)." >&2
        echo "      Run scripts/install-deps.sh (it installs mingw-w64-x86-64-dev)." >&2
        exit 1
    fi
    "$cxx" --target=x86_64-w64-mingw32 "${common[@]}" \
        -isystem "$mingw_include" -isystem "$mingw_include/ddk" "$here/layout_check.cpp"
    echo "layouts agree with the mingw-w64 DDK headers"
    ;;
platform)
    # The Windows image's view of platform/*.h, then Linux's.
    "$cxx" --target=x86_64-pc-windows-msvc "${common[@]}" -ffreestanding -fms-extensions \
        -I"$source_dir" "$here/platform_check.cpp"
    "$cxx" "${common[@]}" -ffreestanding -I"$source_dir" "$here/platform_check.cpp"
    echo "platform/*.h agrees with the expected layouts on both targets"
    ;;
*)
    echo "usage: $0 ddk|platform CXX SOURCE_DIR [MINGW_INCLUDE]" >&2
    exit 2
    ;;
esac
