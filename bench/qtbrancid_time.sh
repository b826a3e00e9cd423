#!/usr/bin/env bash
# qtbrancid_time.sh - how long qtbrancid takes for one QTB at 9600 baud on a
# night it is unchanged (one read) and on a night one value changed (two
# reads, the second confirming the first).
#
# Principles
# - The QTB is qtb-sim paced at 9600 baud on a pseudo-terminal; the last
#   revision in configs is its true backup. The changed night serves the
#   same backup with channel 3's Async Baudrate changed.
# - Everything lives in one scratch folder and every process it starts ends
#   when it exits (the collector tests' lib.sh).
# - The figures are for reading, not for passing; take them on a quiet
#   machine.
#
# Usage: bench/qtbrancid_time.sh [BUILD-DIR]   (default build/, built with
# the default preset: dedizo and qtb-sim)
# shellcheck source-path=SCRIPTDIR/../tests/rancid
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd) || exit 1
. "$top/tests/rancid/lib.sh"
QTB_SIM=$build/qtb-sim

"$QTB_SIM" --dump "$scratch/true.cfg" --no-serve || exit 1
changed_values "$scratch/true.cfg" "$scratch/changed.cfg"
mkdir "$scratch/configs"
echo "qtb $scratch/qtb" >"$scratch/qtb.ports"

for night in unchanged changed; do
    values=$scratch/true.cfg
    [ "$night" = changed ] && values=$scratch/changed.cfg
    start_sim "$night" --baud 9600 --link "$scratch/qtb" --values "$values" || exit 1
    sim=${started_pids[-1]}
    cp "$scratch/true.cfg" "$scratch/configs/qtb"
    rm -f "$scratch/configs/qtb.new"
    t0=$(clock)
    (cd "$scratch/configs" && QTB_DEDIZO="$build/dedizo" sh "$top/integrations/rancid/qtbrancid" qtb)
    echo "$night: $(seconds_since "$t0" 2) s"
    stop_pid "$sim"
done
