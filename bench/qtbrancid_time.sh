#!/usr/bin/env bash
# qtbrancid_time.sh - how long qtbrancid takes for one QTB at 9600 baud on a
# night it is unchanged (one read) and on a night one value changed (two
# reads, the second confirming the first).
#
# Principles
# - The QTB is qtb-sim paced at 9600 baud on a pseudo-terminal; the last
#   revision in configs is its true backup. The changed night serves the
#   same backup with channel 3's Async Baudrate changed.
# - Everything lives in one scratch folder, removed at exit; the simulator is
#   ended on every path.
# - The figures are for reading, not for passing; take them on a quiet
#   machine.
#
# Usage: bench/qtbrancid_time.sh [BUILD-DIR]   (default build/, built with
# the default preset: dedizo and qtb-sim)
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd) || exit 1
scratch=$(mktemp -d "${TMPDIR:-/tmp}/qtbrancid-time.XXXXXX") || exit 1
sim=""
finish() {
    if [ -n "$sim" ]; then
        kill -TERM "$sim" 2>/dev/null
        wait "$sim" 2>/dev/null
    fi
    rm -rf "$scratch"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

"$build/qtb-sim" --dump "$scratch/true.cfg" --no-serve || exit 1
awk '/CHANNEL 3 CONFIGURATION/ { c = 1 } c && /^Async Baudrate = 9600/ { sub(/9600/, "19200"); c = 0 } { print }' \
    "$scratch/true.cfg" >"$scratch/changed.cfg"
mkdir "$scratch/configs"
echo "qtb $scratch/qtb" >"$scratch/qtb.ports"

for night in unchanged changed; do
    values=$scratch/true.cfg
    [ "$night" = changed ] && values=$scratch/changed.cfg
    "$build/qtb-sim" --baud 9600 --link "$scratch/qtb" --values "$values" >/dev/null &
    sim=$!
    for _ in $(seq 100); do
        [ -e "$scratch/qtb" ] && break
        sleep 0.05
    done
    cp "$scratch/true.cfg" "$scratch/configs/qtb"
    rm -f "$scratch/configs/qtb.new"
    # The uptime clock: monotonic, in hundredths of a second.
    read -r start _ </proc/uptime
    (cd "$scratch/configs" && QTB_DEDIZO="$build/dedizo" sh "$top/integrations/rancid/qtbrancid" qtb)
    read -r end _ </proc/uptime
    cs=$((${end/./} - ${start/./}))
    printf '%s: %d.%02d s\n' "$night" $((cs / 100)) $((cs % 100))
    kill -TERM "$sim"
    wait "$sim"
    sim=""
done
