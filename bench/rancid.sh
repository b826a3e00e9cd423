#!/usr/bin/env bash
# bench/rancid.sh - what a group of QTBs costs a RANCID run: N simulated QTBs
# at 9600 baud behind ser2net, collected by rancid-run with PAR_COUNT 1 and
# with PAR_COUNT N, against the time of one backup through the same path.
#
# Principles
# - The same engine and path as a site's: Debian's rancid as the rancid
#   user, ser2net configured from the example we ship, qtbrancid and dedizo
#   as installed side by side. Only the QTBs are simulated, paced as a real
#   console line.
# - The first run commits every QTB (a first backup is read twice to be
#   confirmed); the timed runs then collect unchanged QTBs, a site's
#   ordinary night.
# - It reports and never judges; everything it starts ends with it, and the
#   device type it adds to RANCID's list is taken out again.
#
# Usage (as root): bash bench/rancid.sh [N]   (default 4; about 2 + N minutes)
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top" || exit 1
# shellcheck source=scripts/need-packages.sh
. scripts/need-packages.sh
if command -v debconf-set-selections >/dev/null; then
    echo "rancid rancid/go_on boolean true" | debconf-set-selections
fi
need_packages cmake g++ make rancid ser2net socat git python3 iproute2 procps || exit 1
id rancid >/dev/null 2>&1 || DEBIAN_FRONTEND=noninteractive dpkg-reconfigure -f noninteractive rancid || exit 1

count=${1:-4}
cmake --preset default >/dev/null && cmake --build --preset default -j"$(nproc)" --target dedizo qtb-sim >/dev/null || exit 1

# shellcheck source=tests/rancid/lib.sh
. tests/rancid/lib.sh
# shellcheck source=tests/rancid/rancid_sandbox.sh
. tests/rancid/rancid_sandbox.sh
sandbox_init qtbbench build/dedizo build/qtb-sim integrations/rancid/qtbrancid || exit 1
RUN_AS="setpriv --reuid=rancid --regid=rancid --init-groups"

# N QTBs, each on its own terminal, each behind its own ser2net connection
# made from the example's first one.
example=integrations/rancid/examples/ser2net.yaml
{
    awk '/^connection:/ { exit } { print }' "$example"
    router_db=""
    ports=""
    for k in $(seq "$count"); do
        start_sim "qtb$k" --baud 9600 --link "$scratch/dev/qtb$k" >/dev/null || exit 1
        port=$(free_port)
        awk '/^connection: &qtb1/ { on = 1 } /^connection: &qtb2/ { on = 0 } on { print }' "$example" |
            sed -e "s#&qtb1#\&qtb$k#" -e "s#/dev/ttyUSB0#$scratch/dev/qtb$k#" \
                -e "s#tcp,127.0.0.1,7001#tcp,127.0.0.1,$port#"
        router_db+="qtb$k;$type_name;up"$'\n'
        ports+="qtb$k 127.0.0.1:$port"$'\n'
    done
} >"$scratch/ser2net.yaml"
sandbox_group_files "$router_db" "$ports"
start_ser2net "$scratch/ser2net.yaml"
wait_for_listener "${port:?}" || { echo "ser2net did not start: $(cat "$scratch/ser2net.log")"; exit 1; }

# One backup through the same path, by the collector alone.
mkdir -p "$scratch/one/configs"
cp "$base/$group/qtb.ports" "$scratch/one/"
t0=$(clock)
(cd "$scratch/one/configs" && QTB_CONFIRM=0 TMPDIR="$scratch/tmp" "$bin/qtbrancid" qtb1)
one=$(seconds_since "$t0")

sandbox_set PAR_COUNT "$count"
run_rancid
first=$night_seconds
sandbox_set PAR_COUNT 1
run_rancid
serial=$night_seconds
sandbox_set PAR_COUNT "$count"
run_rancid
parallel=$night_seconds

committed=0
for k in $(seq "$count"); do
    git_group show "HEAD:configs/qtb$k" 2>/dev/null | cmp -s - <("$QTB_SIM" --dump /dev/stdout --no-serve) &&
        committed=$((committed + 1))
done

mkdir -p build/bench
{
    echo "RANCID group of $count simulated QTBs at 9600 baud behind ser2net, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores"
    echo
    echo "| run | wall time (s) | / one backup |"
    echo "| --- | ---: | ---: |"
    ratio() { awk -v a="$1" -v b="$one" 'BEGIN { printf "%.2f", a / b }'; }
    echo "| one backup, qtbrancid alone | $one | 1.00 |"
    echo "| first night, PAR_COUNT $count (every QTB new) | $first | $(ratio "$first") |"
    echo "| unchanged night, PAR_COUNT 1 | $serial | $(ratio "$serial") |"
    echo "| unchanged night, PAR_COUNT $count | $parallel | $(ratio "$parallel") |"
    echo
    echo "committed and byte-identical to the simulator's configuration: $committed of $count"
} | tee build/bench/rancid.txt
