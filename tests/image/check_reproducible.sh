#!/usr/bin/env bash
# The driver image is reproducible: the same sources, checked out at another
# path and built the same way (the same build directory within the checkout),
# give the same zelkor.sys byte for byte. Builds the image alone once more in
# a copy of the checkout under a temporary directory and compares it with the
# build's own.
#
#   check_reproducible.sh SOURCE_DIR BUILD_DIR
set -uo pipefail

if [[ $# -ne 2 ]]; then
    echo "usage: $0 SOURCE_DIR BUILD_DIR" >&2
    exit 2
fi
source_dir=$(cd "$1" && pwd) build_dir=$(cd "$2" && pwd)
image=$build_dir/zelkor.sys
[[ -r $image ]] || { echo "FAIL: cannot read $image"; exit 1; }
case $build_dir/ in
"$source_dir"/*) layout=${build_dir#"$source_dir"/} ;;
*) echo "FAIL: the build directory $build_dir is not inside the checkout $source_dir"; exit 1 ;;
esac

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
copy=$work/another/checkout/of/zelkor
mkdir -p "$copy"
# The checkout's files as they stand (changes not committed yet included),
# nothing of any build.
if git -C "$source_dir" rev-parse --git-dir > /dev/null 2>&1; then
    (cd "$source_dir" && git ls-files -co --exclude-standard -z | tar --null -T - -cf -) | tar -xf - -C "$copy"
else
    tar -C "$source_dir" --exclude=./build -cf - . | tar -xf - -C "$copy"
fi

log=$work/build.log
if ! cmake -S "$copy" -B "$copy/$layout" -G Ninja -DZELKOR_BUILD_BENCHMARKS=OFF > "$log" 2>&1 ||
   ! cmake --build "$copy/$layout" --target zelkor_sys -j 2 >> "$log" 2>&1; then
    tail -20 "$log"
    echo "FAIL: the copy at $copy does not build"
    exit 1
fi
if cmp -s "$image" "$copy/$layout/zelkor.sys"; then
    echo "ok:   zelkor.sys built at $copy is byte for byte the one of $build_dir ($(stat -c %s "$image") bytes)"
    exit 0
fi
echo "FAIL: zelkor.sys differs when built at another path: $(cmp -l "$image" "$copy/$layout/zelkor.sys" | wc -l) bytes"
cmp -l "$image" "$copy/$layout/zelkor.sys" | head -10
exit 1
