#!/usr/bin/env bash
# Backs up a simulated QTB: builds dedizo and qtb-sim, starts the simulator on
# a pseudo-terminal paced at 9600 baud like a real console line, runs dedizo
# on that port in a scratch directory, and shows the QTB.CFG it wrote.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/need-packages.sh"
need_packages cmake g++ make

cd "$top"
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target dedizo qtb-sim >/dev/null

work=$(mktemp -d /tmp/dedizo-demo.XXXXXX)
sim_out="$work/qtb-sim.out"
build/qtb-sim --baud 9600 >"$sim_out" 2>"$work/qtb-sim.err" &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    [ -s "$sim_out" ] && break
    sleep 0.05
done
port=$(head -n 1 "$sim_out")
if [ -z "$port" ]; then
    echo "qtb-sim did not start:" >&2
    cat "$work/qtb-sim.err" >&2
    exit 1
fi
echo "qtb-sim is serving a QTB console on $port"
echo "\$ dedizo $port      (in $work)"
status=0
(cd "$work" && "$top/build/dedizo" "$port") || status=$?
echo
echo "dedizo exited with status $status"
if [ -f "$work/QTB.CFG" ]; then
    echo "---- $work/QTB.CFG ($(wc -c <"$work/QTB.CFG") bytes, CR LF line ends) ----"
    tr -d '\r' <"$work/QTB.CFG"
fi
exit "$status"
