#!/usr/bin/env bash
# Soaks dedizo against a babbling QTB: N runs (default 500) against
# qtb-sim --garbage SEED, seeds FIRST_SEED (default 1) onwards, several at a
# time. Every run must end by itself, exit 0, print nothing on standard error
# (where a sanitizer would report), put the port's settings back, and leave
# QTB.CFG either as it was or as a complete eight-block backup.
#
#   bash scripts/soak.sh [N] [FIRST_SEED]
#
# Environment:
#   SOAK_PRESET  the CMake preset to build and soak: default (build/) or
#                sanitize (build-sanitize/, AddressSanitizer and UBSan)
#   SOAK_BUILD   an already built build directory to use instead
#   SOAK_JOBS    runs side by side (default: the number of cores)
#
# Prints a line per seed into a log, then the outcomes counted. Exits 1 when
# any run failed a check.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top" || exit 1

count=${1:-500}
first=${2:-1}
jobs=${SOAK_JOBS:-$(nproc)}
preset=${SOAK_PRESET:-default}
build=${SOAK_BUILD:-}

if [ -z "$build" ]; then
    case $preset in
    default) build=build ;;
    sanitize) build="build-sanitize" ;;
    *) echo "soak.sh: SOAK_PRESET is default or sanitize" >&2; exit 2 ;;
    esac
    cmake --preset "$preset" >/dev/null &&
        cmake --build --preset "$preset" -j"$jobs" --target garbage_soak || exit 1
fi
soak=$build/tests/garbage_soak
[ -x "$soak" ] || { echo "soak.sh: no $soak; build the tests first" >&2; exit 1; }

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

logs=$(mktemp -d "${TMPDIR:-/tmp}/dedizo-soak-XXXXXX")
per_job=$(((count + jobs - 1) / jobs))
echo "Soaking $soak: $count runs, seeds $first..$((first + count - 1)), $jobs at a time; logs in $logs"
t0=$SECONDS
pids=()
for ((j = 0; j < jobs; j++)); do
    start=$((first + j * per_job))
    n=$per_job
    [ $((start + n)) -gt $((first + count)) ] && n=$((first + count - start))
    [ "$n" -gt 0 ] || break
    "$soak" "$start" "$n" >"$logs/job$j.log" 2>&1 &
    pids+=($!)
done
status=0
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done

cat "$logs"/job*.log >"$logs/all.log"
echo
echo "Outcomes:"
grep '^seed ' "$logs/all.log" | sed -e 's/^seed [0-9]*: //' -e 's/^FAILED:.*/FAILED/' \
    -e 's/, [0-9]* ms, .*//' | sort | uniq -c | sort -rn
runs=$(grep -c '^seed ' "$logs/all.log")
failed=$(grep -c '^seed [0-9]*: FAILED' "$logs/all.log")
slowest=$(grep -o ', [0-9]* ms' "$logs/all.log" | tr -dc '0-9\n' | sort -n | tail -1)
deepest=$(grep -o 'channels entered [0-9]*' "$logs/all.log" | tr -dc '0-9\n' | sort -n | tail -1)
echo "$runs runs in $((SECONDS - t0)) s, $failed failed, slowest run ${slowest:-0} ms," \
    "channels entered at most ${deepest:-0}"
if [ "$failed" -gt 0 ] || [ "$runs" -ne "$count" ] || [ "$status" -ne 0 ]; then
    grep -h 'FAILED' "$logs"/job*.log
    [ "$runs" -eq "$count" ] || echo "only $runs of $count runs reported"
    exit 1
fi
