#!/usr/bin/env bash
# collector_test.sh - qtbrancid alone, as RANCID runs it, against simulated
# QTBs: each row of the table is one night's collection of one QTB.
#
# Principles
# - Each row runs the collector in a configs folder and a TMPDIR of its own,
#   then checks the three things RANCID and the admin see: whether NAME.new
#   exists (and equals the device's true backup), the one log line, and that
#   the collector left no process and no scratch files behind.
# - The simulator runs unpaced (a backup takes ~16 s, the 306 screens' 50 ms
#   pauses) except where a row needs line speed.
#
# Usage: collector_test.sh DEDIZO QTB_SIM QTBRANCID
# shellcheck source-path=SCRIPTDIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"

# Private copies, so that "no dedizo left running" cannot see another test's.
mkdir -p "$scratch/bin"
cp "$1" "$scratch/bin/dedizo"
cp "$3" "$scratch/bin/qtbrancid"
QTB_SIM=$2
QTBRANCID=$scratch/bin/qtbrancid

"$QTB_SIM" --dump "$scratch/true.cfg" --no-serve || exit 1

row_number=0
# collect LABEL NAME [VAR=VALUE...]: runs `qtbrancid NAME` in a fresh group
# folder whose qtb.ports is $ports_text; sets $group, $log, $status.
collect() {
    local label=$1 name=$2
    shift 2
    row_number=$((row_number + 1))
    group=$scratch/group$row_number
    mkdir -p "$group/configs" "$group/tmp"
    printf '%s' "$ports_text" >"$group/qtb.ports"
    [ -n "${stale:-}" ] && printf 'stale\n' >"$group/configs/$name.new"
    log=$group/log
    (cd "$group/configs" && env TMPDIR="$group/tmp" "$@" "$QTBRANCID" "$name") >"$log" 2>&1
    status=$?
    echo "# $label: $(cat "$log")"
}

# The checks every row makes after a collection that must fail.
expect_failure() { # LABEL NAME LOG-PATTERN
    check "$1: no $2.new" test ! -e "$group/configs/$2.new"
    check "$1: one log line naming the QTB and the reason" \
        grep -qE "^qtbrancid: $2: no backup.*$3.*; the last revision stays$" "$log"
    check "$1: exactly one line in the log" test "$(wc -l <"$log")" -eq 1
    expect_clean "$1"
}

expect_success() { # LABEL NAME
    check "$1: $2.new equals the device's backup" cmp -s "$scratch/true.cfg" "$group/configs/$2.new"
    check "$1: one log line" grep -qE "^qtbrancid: $2: backup collected from .* \(3844 bytes\)$" "$log"
    expect_clean "$1"
}

# Nothing left in configs but NAME.new, nothing in TMPDIR, no process.
expect_clean() {
    check "$1: configs holds nothing else" test -z "$(find "$group/configs" -mindepth 1 ! -name '*.new')"
    check "$1: scratch directory removed" test -z "$(ls -A "$group/tmp")"
    check "$1: no dedizo or socat left" test "$(processes_with "$scratch/")" -eq 0
}

# --- collections that work ------------------------------------------------
pty=$(start_sim direct --baud 0) || exit 1
ports_text="# name  target
qtb-direct   $pty   # local serial port
"
collect "local port" qtb-direct
expect_success "local port" qtb-direct
check "local port: exit status 0" test "$status" -eq 0

tcp=$(start_sim tcp --baud 0 --tcp 0) || exit 1
tcp_target=${tcp#tcp }
ports_text=""
collect "console server named by HOST:PORT" "$tcp_target"
expect_success "console server named by HOST:PORT" "$tcp_target"

# --- collections that must leave the last revision alone --------------------
dead_port=$(free_port)
ports_text="qtb-dead 127.0.0.1:$dead_port
"
collect "console server not listening" qtb-dead
expect_failure "console server not listening" qtb-dead "console server not answering"
check "console server not listening: exit status not 0" test "$status" -ne 0

ports_text="qtb-other /dev/null
"
collect "name not in qtb.ports" qtb-missing
expect_failure "name not in qtb.ports" qtb-missing "no line for it in \.\./qtb\.ports"

silent=$(start_sim silent --silent) || exit 1
ports_text="qtb-silent $silent
"
stale=1 collect "stale NAME.new, silent QTB" qtb-silent
expect_failure "stale NAME.new, silent QTB" qtb-silent "Error, no communication with QTB\."

locked=$(start_sim locked --baud 0 --locked) || exit 1
ports_text="qtb-locked $locked
"
collect "locked QTB" qtb-locked
expect_failure "locked QTB" qtb-locked "QTB is locked, can not read the configuration\."

hangup=$(start_sim hangup --baud 0 --tcp 0 --hangup-after 60) || exit 1
ports_text="qtb-hangup ${hangup#tcp }
"
collect "console connection dropped mid-run" qtb-hangup
expect_failure "console connection dropped mid-run" qtb-hangup "Error, no communication with QTB\."

slow=$(start_sim slow --baud 9600 --tcp 0) || exit 1
ports_text="qtb-slow ${slow#tcp }
"
collect "killed by its time bound" qtb-slow QTB_TIMEOUT=3
expect_failure "killed by its time bound" qtb-slow "no backup within 3 s \(Interrupted, QTB\.CFG not written\.\)"

# A signal from outside (RANCID stopped, the machine shutting down) mid-run.
slow2=$(start_sim slow2 --baud 9600 --tcp 0) || exit 1
ports_text="qtb-stopped ${slow2#tcp }
"
row_number=$((row_number + 1))
group=$scratch/group$row_number
mkdir -p "$group/configs" "$group/tmp"
printf '%s' "$ports_text" >"$group/qtb.ports"
log=$group/log
(cd "$group/configs" && TMPDIR="$group/tmp" exec "$QTBRANCID" qtb-stopped) >"$log" 2>&1 &
collector=$!
sleep 3
kill -TERM "$collector"
t0=$SECONDS
wait "$collector"
echo "# stopped by SIGTERM: $(cat "$log")"
check "stopped by SIGTERM: ended within 5 s" test $((SECONDS - t0)) -le 5
expect_failure "stopped by SIGTERM" qtb-stopped "stopped by SIGTERM"

# -C prints the command a collection runs, as RANCID's collectors do.
ports_text="qtb-a /dev/ttyUSB3
qtb-b cs1.example:7003
"
printf '%s' "$ports_text" >"$scratch/qtb.ports"
check "-C: a serial port" test "$(QTB_PORTS="$scratch/qtb.ports" QTB_DEDIZO=dedizo "$QTBRANCID" -C qtb-a)" = "dedizo /dev/ttyUSB3"
check "-C: a console server" grep -q '^socat TCP:cs1.example:7003,connect-timeout=10 PTY,link=.* & dedizo ' \
    <(QTB_PORTS="$scratch/qtb.ports" QTB_DEDIZO=dedizo "$QTBRANCID" -C qtb-b)

report
