#!/usr/bin/env bash
# Runs the fuzz targets for longer than the ctest smoke does, keeping what
# they learn in a corpus of their own (build/fuzz-corpus/NAME), and prints
# the executions each made. A finding stops its target with a crash file in
# build/fuzz-findings/ and makes the script fail.
#
#   scripts/fuzz.sh [--runs N | --seconds S] [TARGET...]
#   scripts/fuzz.sh --seeds
#   scripts/fuzz.sh --keep
#   scripts/fuzz.sh --coverage [--missed]
#
# TARGET names a target without its fuzz_ prefix (scenario, regfile, ...);
# all targets by default. --runs N (default) gives each target N runs;
# --seconds S gives each S seconds instead. --seeds writes the driver
# targets' seeds afresh from the golden scenarios (tests/fuzz/seeds), keeping
# the inputs found and kept before (finding-*, kept-*). --keep adds to the
# driver targets' seeds, as kept-*, each input of the long runs' corpus that
# reaches what the seeds do not (libFuzzer's merge), so that CI's seeds
# cover what the long runs learned.
# --coverage runs the driver targets over their seeds and corpus in a build
# with clang's source-based coverage (tests/fuzz/coverage) and prints the
# share of code regions covered per file of driver/, trace/, ioctl/ and
# internal/; --missed lists the regions no input ran.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=1000000
seconds=
seeds=
keep=
coverage=
missed=
targets=()
while [[ $# -gt 0 ]]; do
    case $1 in
        --runs) runs=$2; seconds=; shift 2 ;;
        --seconds) seconds=$2; shift 2 ;;
        --seeds) seeds=1; shift ;;
        --keep) keep=1; shift ;;
        --coverage) coverage=1; shift ;;
        --missed) missed=1; shift ;;
        -h|--help) sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        -*) echo "fuzz.sh: unknown option '$1' (see --help)" >&2; exit 2 ;;
        *) targets+=("$1"); shift ;;
    esac
done

bash scripts/install-deps.sh
if [[ -n $coverage ]]; then
    # The plain build holds the coverage build of the driver (no sanitizers).
    cmake --preset default > /dev/null
    cmake --build --preset default -j "$(nproc)" --target fuzz_coverage > /dev/null
    exec python3 tests/fuzz/coverage/coverage.py --replay build/default/tests/fuzz/coverage/fuzz_coverage \
        --profdata "$(command -v llvm-profdata)" --cov "$(command -v llvm-cov)" --source . \
        --work build/fuzz-coverage --seeds tests/fuzz/seeds --corpus build/fuzz-corpus ${missed:+--missed}
fi
cmake --preset asan > /dev/null
cmake --build --preset asan -j "$(nproc)" > /dev/null
bin=build/asan/tests/fuzz
if [[ -n $seeds ]]; then
    for target in fuzz_internal fuzz_devicecontrol fuzz_control; do
        find tests/fuzz/seeds/$target -type f ! -name empty ! -name 'finding-*' ! -name 'kept-*' -delete
    done
    ASAN_OPTIONS=detect_leaks=0 "$bin"/make_seeds tests/fuzz/seeds tests/golden/*.scn
    exit 0
fi
if [[ -n $keep ]]; then
    mkdir -p build/fuzz-findings
    for target in internal devicecontrol control; do
        seedDir=tests/fuzz/seeds/fuzz_$target
        [[ -d build/fuzz-corpus/$target ]] || continue
        before=$(mktemp)
        ls "$seedDir" | sort > "$before"
        ASAN_OPTIONS=detect_leaks=0:handle_segv=0 "$bin/fuzz_$target" -merge=1 -max_len=8192 -handle_segv=0 \
            "$seedDir" "build/fuzz-corpus/$target" > "build/fuzz-findings/$target-merge.log" 2>&1
        added=0
        while read -r name; do
            mv "$seedDir/$name" "$seedDir/kept-$name"
            added=$((added + 1))
        done < <(ls "$seedDir" | sort | comm -13 "$before" -)
        rm -f "$before"
        echo "$target: $added inputs of the corpus kept as seeds"
    done
    exit 0
fi
if [[ ${#targets[@]} -eq 0 ]]; then
    for exe in "$bin"/fuzz_*; do targets+=("$(basename "$exe" | sed 's/^fuzz_//')"); done
fi

mkdir -p build/fuzz-findings
limit=(-runs="$runs")
[[ -n $seconds ]] && limit=(-max_total_time="$seconds")
total=0
status=0
for target in "${targets[@]}"; do
    exe=$bin/fuzz_$target
    [[ -x $exe ]] || { echo "fuzz.sh: no target '$target'" >&2; exit 2; }
    corpus=build/fuzz-corpus/$target
    mkdir -p "$corpus"
    log=build/fuzz-findings/$target.log
    echo "== $target"
    if ASAN_OPTIONS=detect_leaks=1:handle_segv=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        "$exe" "${limit[@]}" -max_len=8192 -handle_segv=0 -entropic=0 -print_final_stats=1 \
        -artifact_prefix=build/fuzz-findings/"$target"- "$corpus" "tests/fuzz/seeds/fuzz_$target" > "$log" 2>&1; then
        :
    else
        status=1
        echo "   FINDING: see $log and build/fuzz-findings/$target-*"
    fi
    executed=$(grep 'stat::number_of_executed_units' "$log" | awk '{print $2 + 0}' || true)
    echo "   executions: ${executed:-0}; corpus: $(ls "$corpus" | wc -l) inputs"
    total=$((total + ${executed:-0}))
done
echo "total executions: $total"
exit $status
