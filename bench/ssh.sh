#!/usr/bin/env bash
# ssh.sh - what reaching a QTB over SSH adds to a backup. On one qtb-sim paced
# at 9600 baud, times in turn: dedizo on the simulator's terminal; qtbrancid
# with that terminal as its TARGET; qtbrancid with an ssh:// TARGET through an
# sshd on 127.0.0.1 whose sessions are linked to that same terminal (the test
# suite's console server, tests/rancid/sshd_lib.sh). ROUNDS rounds (default
# 2), then an SSH login alone, five times.
#
# Principles
# - Same run, same simulator, one backup at a time, so that the differences
#   are the collector's and SSH's, not the line's.
# - The figures are for reading, not for passing; each backup is compared
#   with the simulator's true dump, and a wrong one is reported.
# - Needs root (sshd), and builds nothing: run it after the default build.
#   Every process it starts ends when it exits (lib.sh), and /run/sshd is
#   put back as it was.
#
# Usage (as root): bash bench/ssh.sh [ROUNDS]
# shellcheck source-path=SCRIPTDIR/../tests/rancid
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/tests/rancid/lib.sh"
. "$top/tests/rancid/sshd_lib.sh"

rounds=${1:-2}
DEDIZO=$top/build/dedizo
QTB_SIM=$top/build/qtb-sim
QTBRANCID=$top/integrations/rancid/qtbrancid
for need in "$DEDIZO" "$QTB_SIM"; do
    [ -x "$need" ] || { echo "ssh.sh: $need missing: cmake --preset default && cmake --build --preset default" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { echo "ssh.sh: needs root (sshd)" >&2; exit 1; }

mkdir -p "$scratch/dev" "$scratch/work" "$scratch/group/configs" "$scratch/group/tmp"
"$QTB_SIM" --dump "$scratch/true.cfg" --no-serve || exit 1
start_sim line --baud 9600 --link "$scratch/dev/qtb" >/dev/null || exit 1
start_sshd "$scratch/dev/qtb" || exit 1
ssh_config "$scratch/ssh_config" "$sshd_dir/client_key" "$sshd_dir/known_hosts"
cat >"$scratch/group/qtb.ports" <<EOF
qtb-local $scratch/dev/qtb
qtb-ssh   ssh://root@127.0.0.1:$sshd_port
EOF

# time_run LABEL RESULT-FILE COMMAND...: runs it, prints its length.
time_run() {
    local label=$1 result=$2
    shift 2
    rm -f "$result"
    local t0 took
    t0=$(clock)
    "$@" >"$scratch/run.out" 2>&1
    took=$(seconds_since "$t0" 3)
    local verdict="backup correct"
    cmp -s "$scratch/true.cfg" "$result" || verdict="BACKUP WRONG: $(tail -n 2 "$scratch/run.out" | tr '\r\n' '  ')"
    printf '%-28s %7.2f s  %s\n' "$label" "$took" "$verdict"
}
collect() { # NAME
    # One read, as dedizo direct makes: no revision here to confirm against.
    (cd "$scratch/group/configs" && env TMPDIR="$scratch/group/tmp" QTB_DEDIZO="$DEDIZO" QTB_CONFIRM=0 \
        QTB_SSH_CONFIG="$scratch/ssh_config" "$QTBRANCID" "$1")
}
direct() { (cd "$scratch/work" && "$DEDIZO" "$scratch/dev/qtb"); }

echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load average $(cut -d ' ' -f 1 /proc/loadavg); qtb-sim --baud 9600"
for round in $(seq "$rounds"); do
    echo "# round $round"
    time_run "dedizo, direct" "$scratch/work/QTB.CFG" direct
    time_run "qtbrancid, local terminal" "$scratch/group/configs/qtb-local.new" collect qtb-local
    time_run "qtbrancid, over SSH" "$scratch/group/configs/qtb-ssh.new" collect qtb-ssh
    # The console server's end of the session lets go of the terminal a
    # moment after the collector's end.
    wait_no_sessions
done

# The login alone: the console server's second port ends each session at
# once, so this is connection, key exchange, authentication and close.
echo "# SSH login and close, no QTB"
for i in 1 2 3 4 5; do
    t0=$(clock)
    ssh -F "$scratch/ssh_config" -T -o BatchMode=yes qtb-cs-closed </dev/null 2>/dev/null
    printf 'login %d                      %7.3f s\n' "$i" "$(seconds_since "$t0" 3)"
done
echo "# load average at the end $(cut -d ' ' -f 1 /proc/loadavg)"
