#!/usr/bin/env bash
# What the filter costs per request: builds the benchmarks in the release
# configuration and counts instructions under callgrind, which repeat from run
# to run where times on a shared machine do not. Each case runs a fixed number
# of rounds with collection on only around them; the counts divided by the
# requests made give the figures, each set beside the reference filter's on
# the same simulated stack.
#
#   scripts/bench.sh            counts, then prints the report (also left in
#                               build/bench/report.md)
#   scripts/bench.sh --times    also runs the timing suite (Google Benchmark)
#
# ROUNDS (default 1000) sets the rounds per case.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

times=0
for argument in "$@"; do
    case $argument in
    --times) times=1 ;;
    *) echo "usage: scripts/bench.sh [--times]" >&2; exit 2 ;;
    esac
done
rounds=${ROUNDS:-1000}

bash scripts/install-deps.sh

# The release preset (RelWithDebInfo) in a folder of its own, with DWARF 4
# debug information: valgrind 3.19 cannot read clang 14's default DWARF 5.
# The code is the same either way.
build=build/bench
cmake --preset release -B "$build" -DCMAKE_CXX_FLAGS=-gdwarf-4 -DZELKOR_BUILD_SYS=OFF > /dev/null
cmake --build "$build" --target zelkor_bench zelkor_bench_count -j "$(nproc)" > /dev/null
count=$build/bench/zelkor_bench_count
"$count" --check > /dev/null

out=$build/callgrind
rm -rf "$out"
mkdir -p "$out"

# Sums one callgrind profile: everything counted, each function's own
# instructions (not those of what it calls) by where the function is
# defined: the driver's folders, the reference filter, the lower device, or
# the bench's wrappers of trace operations. Inlined code counts for the
# function it was inlined into, which is how a filter pays for it; since
# callgrind may name a function after the header of its first inlined
# instruction, a function belongs to the first source file (.cpp) met among
# its lines, and to its header only when it has none. Last, what the calls of
# DbgPrint cost with all they call (the debugger's side of every line), and
# what the calls of ZKB_FormatLine cost (lines formatted alone).
summarise() {
    awk -v root="$root" '
        function kind(file) {
            # Debug information written through ccache with CCACHE_BASEDIR
            # names sources relative to the build folder: build/bench/../../driver/...
            while (sub(/\/[^\/.][^\/]*\/\.\.\//, "/", file)) {}
            if (index(file, root "/driver/") == 1 || index(file, root "/trace/") == 1 ||
                index(file, root "/ioctl/") == 1 || index(file, root "/internal/") == 1)
                return "zelkor"
            if (file == root "/bench/reference_filter.cpp") return "reference"
            if (file == root "/bench/lower_disk.cpp") return "lower"
            if (file == root "/bench/text_cases.cpp") return "wrapper"
            return "other"
        }
        function source(file) {
            if (file ~ /\.cpp$/ && !(current in home)) home[current] = kind(file)
        }
        /^fl=/ { file = substr($0, 4); next }
        /^fn=/ {
            current = substr($0, 4)
            if (!(current in header)) header[current] = kind(file)
            source(file)
            next
        }
        /^f[ie]=/ { source(substr($0, 4)); next }
        /^cfn=/ { callee = substr($0, 5); next }
        /^calls=/ { inclusive = 1; next }
        /^[0-9]/ {
            if (inclusive) {
                inclusive = 0
                if (callee == "DbgPrint") debugger += $2
                if (index(callee, "ZKB_FormatLine(") == 1) formatted += $2
                next
            }
            own[current] += $2
            next
        }
        /^totals:/ { total = $2 }
        /^summary:/ { if (total == "") total = $2 }
        END {
            for (f in own) sum[f in home ? home[f] : header[f]] += own[f]
            printf "%d %d %d %d %d %d %d\n", total, sum["zelkor"], sum["reference"], sum["lower"], sum["wrapper"], debugger + 0, formatted + 0
        }
    ' "$1"
}

figures=$out/figures.txt
: > "$figures"
for name in $("$count" --list); do
    file=$out/${name//\//_}
    valgrind --tool=callgrind --collect-atstart=no --compress-strings=no --compress-pos=no \
        --callgrind-out-file="$file.out" "$count" "$name" "$rounds" > "$file.log" 2> "$file.valgrind"
    operations=$(sed -n 's/.* operations=\([0-9]*\)$/\1/p' "$file.log")
    echo "$name $operations $(summarise "$file.out")" >> "$figures"
    echo "counted $name" >&2
done

report=$build/report.md
{
    echo "Instructions per request, $(date -u +%Y-%m-%d), $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- driver trace ioctl internal bench 2> /dev/null || echo ' plus uncommitted changes to the driver or bench')"
    echo "on $(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -1) ($(nproc) CPUs),"
    echo "$(valgrind --version), $(clang++ --version | head -1), $rounds rounds a case."
    echo
    awk '
        function ratio(a, b) { return b > 0 ? sprintf("%.3f", a / b) : "n/a" }
        function verdict(value, limit) { return value != "n/a" && value + 0 <= limit ? "met" : "MISSED" }
        # The table of the cases "<request>/zelkor-<tag>" against their lines alone.
        function full_mask_table(tag,    i, n, part, s, z, a, driver, r) {
            print "| request | driver, DbgPrint excluded | filter'"'"'s own functions | the lines alone | ratio | target | result |"
            print "|---|---:|---:|---:|---:|---|---|"
            for (i = 1; i <= NR; ++i) {
                n = name[i]
                if (n !~ ("/zelkor-" tag "$")) continue
                split(n, part, "/")
                s = part[1]; z = s "/zelkor-0"; a = s "/lines-" tag
                if (!(z in total) || !(a in total)) continue
                driver = total[n] - debugger[n] - (total[z] - zelkor[z])
                if (debugger[n] == 0) {
                    printf "| %s | %.0f | %.1f | prints nothing | | <= 1.25 | n/a |\n", s, driver, zelkor[n]
                    continue
                }
                r = ratio(driver, formatted[a])
                printf "| %s | %.0f | %.1f | %.0f | %s | <= 1.25 | %s |\n", s, driver, zelkor[n], formatted[a], r, verdict(r, 1.25)
            }
        }
        {
            name[NR] = $1; ops[$1] = $2; total[$1] = $3 / $2; zelkor[$1] = $4 / $2
            reference[$1] = $5 / $2; lower[$1] = $6 / $2; wrapper[$1] = $7 / $2; debugger[$1] = $8 / $2; formatted[$1] = $9 / $2
        }
        END {
            print "Requests through the whole simulated stack (I/O manager, filter, lower device):"
            print ""
            print "| request | filter | stack | filter alone | lower device |"
            print "|---|---|---:|---:|---:|"
            for (i = 1; i <= NR; ++i) {
                n = name[i]
                if (n !~ /\/(reference|zelkor-0|zelkor-1ff)$/) continue
                split(n, part, "/")
                own = part[2] == "reference" ? reference[n] : zelkor[n]
                filter = part[2] == "reference" ? "reference" : part[2] == "zelkor-0" ? "Zelkor, mask 0" : "Zelkor, mask 0x1FF"
                printf "| %s | %s | %.0f | %.1f | %.1f |\n", part[1], filter, total[n], own, lower[n]
            }
            print ""
            print "Zelkor at mask 0 against the reference filter that does what it does with the request"
            print "(skip: create/close, device control; copy and completion routine: read, write, SRB, URB, 1394 read):"
            print ""
            print "| request | stack ratio (target <= 1.10) | filter-alone ratio (target <= 2.00) | at mask 0x1FF, stack ratio |"
            print "|---|---:|---:|---:|"
            for (i = 1; i <= NR; ++i) {
                n = name[i]
                if (n !~ /\/reference$/) continue
                split(n, part, "/")
                s = part[1]
                stack = ratio(total[s "/zelkor-0"], total[n])
                alone = ratio(zelkor[s "/zelkor-0"], reference[n])
                full = ratio(total[s "/zelkor-1ff"], total[n])
                printf "| %s | %s (%s) | %s (%s) | %s |\n", s, stack, verdict(stack, 1.10), alone, verdict(alone, 2.00), full
            }
            print ""
            print "Trace operations (instructions per message):"
            print ""
            print "| operation | instructions | compared with | ratio | target | result |"
            print "|---|---:|---|---:|---|---|"
            n = "message/suppressed"
            # The wrapper function holds the call site; its own return is not the message'"'"'s.
            printf "| suppressed message (ZK_Print, mask bit clear), at its call site | %.0f | | | load, test, branch: at most 3 | %s |\n", wrapper[n] - 1, wrapper[n] - 1 <= 3 ? "met" : "MISSED"
            split("trace-line trace-line-stamped", lines, " ")
            for (k = 1; k <= 2; ++k) {
                z = lines[k] "/zelkor"; a = lines[k] "/alone"
                r = ratio(total[z], total[a])
                printf "| %s (ZK_Print) | %.0f | the same text alone: %.0f | %s | <= 1.25 | %s |\n", lines[k], total[z], total[a], r, verdict(r, 1.25)
            }
            n = "dump-2048/zelkor"
            printf "| 2048-byte dump (ZK_DumpMemory) | %.0f | per line (128): %.0f, per byte: %.1f | | | |\n", total[n], total[n] / 128, total[n] / 2048
            work = total[n] - debugger[n]
            printf "| the same, DbgPrint excluded | %.0f | per byte: %.1f, of which its own functions %.1f | | <= 25 a byte | %s |\n", work, work / 2048, zelkor[n] / 2048, work / 2048 <= 25 ? "met" : "MISSED"
            print ""
            print "Every traced path at the full mask (0x0FF, no stamps), per request. The driver: what the"
            print "stack costs at 0x0FF, less its DbgPrint calls and less what the stack costs at mask 0"
            print "without the filter'"'"'s own work (the I/O manager and the lower device). The lines alone:"
            print "each message the request printed, formatted again by one counted call, with the format and"
            print "arguments the driver gave it, or from its text (\"%s\") where the driver built the line itself."
            print ""
            full_mask_table("ff")
            print ""
            print "The same at 0x2FF, the bus detail level added (it prints on the URB and 1394 paths):"
            print ""
            full_mask_table("2ff")
        }
    ' "$figures"
    echo
    echo "A suppressed message at its call sites in the release build:"
    echo
    echo '```'
    objdump -d --no-show-raw-insn -C --disassemble='ZKB_SuppressedMessage(_ZK_EXTENSION*, _IRP*, _IO_STACK_LOCATION*)' "$count" |
        sed -n 's/^ *[0-9a-f]*:\t//p' | head -3
    echo '... ZK_IRP_Read, up to its first call:'
    objdump -d --no-show-raw-insn -C --disassemble='ZK_IRP_Read(_DEVICE_OBJECT*, _IRP*)' "$count" |
        sed -n 's/^ *[0-9a-f]*:\t//p' | sed '/call/q'
    echo '```'
} > "$report"
cat "$report"

if [[ $times -eq 1 ]]; then
    echo
    echo "Times (Google Benchmark; they wander on a shared machine):"
    "$build/bench/zelkor_bench" --benchmark_min_time=0.2
fi
