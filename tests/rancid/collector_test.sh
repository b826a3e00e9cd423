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
# - A change is handed over only when two reads agree: the confirmation rows
#   count the keys each QTB received (306 a read) to show how many reads a
#   collection took, and run side by side to save time.
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
    check "$1: one log line" grep -qE "^qtbrancid: $2: backup collected from .* \(3844 bytes, .*\)$" "$log"
    expect_clean "$1"
}

# Nothing left in configs but NAME.new (and the last revision, $2), nothing in
# TMPDIR, no process.
expect_clean() { # LABEL [REVISION-NAME]
    check "$1: configs holds nothing else" \
        test -z "$(find "$group/configs" -mindepth 1 ! -name '*.new' ! -name "${2:-*.new}")"
    check "$1: scratch directory removed" test -z "$(ls -A "$group/tmp")"
    check "$1: no dedizo or socat left" \
        test "$(processes_with "$scratch/bin/")" -eq 0 -a "$(processes_with "link=$scratch/")" -eq 0
}

# --- collections that work ------------------------------------------------
start_sim direct --baud 0 || exit 1
pty=$sim_line
ports_text="# name  target
qtb-direct   $pty   # local serial port
"
collect "local port" qtb-direct
expect_success "local port" qtb-direct
check "local port: exit status 0" test "$status" -eq 0

start_sim tcp --baud 0 --tcp 0 || exit 1
tcp=$sim_line
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

start_sim silent --silent || exit 1
silent=$sim_line
ports_text="qtb-silent $silent
"
stale=1 collect "stale NAME.new, silent QTB" qtb-silent
expect_failure "stale NAME.new, silent QTB" qtb-silent "Error, no communication with QTB\."

start_sim locked --baud 0 --locked || exit 1
locked=$sim_line
ports_text="qtb-locked $locked
"
collect "locked QTB" qtb-locked
expect_failure "locked QTB" qtb-locked "QTB is locked, can not read the configuration\."

start_sim hangup --baud 0 --tcp 0 --hangup-after 60 || exit 1
hangup=$sim_line
ports_text="qtb-hangup ${hangup#tcp }
"
collect "console connection dropped mid-run" qtb-hangup
expect_failure "console connection dropped mid-run" qtb-hangup "Error, no communication with QTB\."

start_sim slow --baud 9600 --tcp 0 || exit 1
slow=$sim_line
ports_text="qtb-slow ${slow#tcp }
"
collect "killed by its time bound" qtb-slow QTB_TIMEOUT=3
expect_failure "killed by its time bound" qtb-slow "no backup within 3 s \(Interrupted, QTB\.CFG not written\.\)"

# A signal from outside (RANCID stopped, the machine shutting down) mid-run.
start_sim slow2 --baud 9600 --tcp 0 || exit 1
slow2=$sim_line
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

# --- a change is handed over only when a second read agrees ------------------
# Each row: a QTB of its own with a key log, the last revision in configs
# (a file, or "empty" as RANCID makes it for a new device), and per
# round of collections what NAME.new must be ("none": no file), the keys the
# QTB has received by then (306 a read) and the log line. The rows of a round
# run side by side; the second round is RANCID's retry of a QTB that gave
# nothing.
changed_values "$scratch/true.cfg" "$scratch/changed.cfg"
declare -A row_group row_env row_keys expect_new expect_keys expect_log
rows=()

# add_row LABEL REVISION ENV QTB-SIM-OPTIONS...: ENV is one VAR=VALUE or "".
add_row() {
    local label=$1 revision=$2 env=$3
    shift 3
    row_number=$((row_number + 1))
    local group=$scratch/group$row_number
    mkdir -p "$group/configs" "$group/tmp"
    row_group[$label]=$group
    row_env[$label]=$env
    row_keys[$label]=$group/keys
    rows+=("$label")
    start_sim "confirm$row_number" --key-log "$group/keys" "$@" || exit 1
    printf 'qtb %s\n' "${sim_line#tcp }" >"$group/qtb.ports"
    if [ "$revision" = empty ]; then
        : >"$group/configs/qtb"
    else
        cp "$scratch/$revision" "$group/configs/qtb"
    fi
}

expect() { # ROUND LABEL NAME.NEW KEYS LOG-PATTERN
    expect_new[$2.$1]=$3
    expect_keys[$2.$1]=$4
    expect_log[$2.$1]=$5
}

collect_round() { # ROUND
    local round=$1 label group pid
    local pids=()
    for label in "${rows[@]}"; do
        [ -n "${expect_keys[$label.$round]:-}" ] || continue
        group=${row_group[$label]}
        # shellcheck disable=SC2086 # ENV is one word or none
        (cd "$group/configs" && TMPDIR="$group/tmp" exec env ${row_env[$label]} "$QTBRANCID" qtb) \
            >"$group/log$round" 2>&1 &
        pids+=($!)
        started_pids+=($!)
    done
    for pid in "${pids[@]}"; do
        wait "$pid"
        forget_pid "$pid"
    done
    for label in "${rows[@]}"; do
        [ -n "${expect_keys[$label.$round]:-}" ] || continue
        group=${row_group[$label]}
        local what="$label, round $round"
        echo "# $what: $(cat "$group/log$round")"
        if [ "${expect_new[$label.$round]}" = none ]; then
            check "$what: no qtb.new" test ! -e "$group/configs/qtb.new"
        else
            check "$what: qtb.new is the device's backup" \
                cmp -s "$scratch/${expect_new[$label.$round]}" "$group/configs/qtb.new"
        fi
        check "$what: the QTB received ${expect_keys[$label.$round]} keys" \
            test "$(wc -l <"${row_keys[$label]}")" -eq "${expect_keys[$label.$round]}"
        check "$what: the log line" grep -qE "^qtbrancid: qtb: ${expect_log[$label.$round]}$" "$group/log$round"
        check "$what: exactly one line in the log" test "$(wc -l <"$group/log$round")" -eq 1
    done
}

collected='backup collected from [^ ]+'
add_row "unchanged" true.cfg "" --baud 0
expect 1 "unchanged" true.cfg 306 "$collected \(3844 bytes, unchanged\)"
# Over TCP: the second read makes a connection of its own.
add_row "changed value" true.cfg "" --baud 0 --tcp 0 --values "$scratch/changed.cfg"
expect 1 "changed value" changed.cfg 612 "$collected \(3845 bytes, changed, read twice alike\)"
add_row "first backup" empty "" --baud 0
expect 1 "first backup" true.cfg 612 "$collected \(3844 bytes, first backup, read twice alike\)"
add_row "QTB_CONFIRM=0" true.cfg QTB_CONFIRM=0 --baud 0 --values "$scratch/changed.cfg"
expect 1 "QTB_CONFIRM=0" changed.cfg 306 "$collected \(3845 bytes, changed\)"
# The line stalls once for 80 ms in the reply to the 15th DOWN of channel 1
# (key 48: 32 keys reach channel 1's line, then RIGHT and 15 DOWNs): the cut
# screen's tail is read as channel 1's first field, which has no label to
# check, and dedizo reports a complete backup. The second read is clean.
add_row "cut once" true.cfg "" --baud 0 --values "$scratch/changed.cfg" --split-once 48:80
expect 1 "cut once" none 612 "no backup from [^ ]+: the two reads differ at line 2 \(first \" = \", then \"Channel Type = HDLC\"\); the last revision stays"
expect 2 "cut once" changed.cfg 1224 "$collected \(3845 bytes, changed, read twice alike\)"
collect_round 1
collect_round 2
for label in "${rows[@]}"; do
    group=${row_group[$label]}
    expect_clean "$label" qtb
done

# -C prints the command a collection runs, as RANCID's collectors do.
ports_text="qtb-a /dev/ttyUSB3
qtb-b cs1.example:7003
"
printf '%s' "$ports_text" >"$scratch/qtb.ports"
check "-C: a serial port" test "$(QTB_PORTS="$scratch/qtb.ports" QTB_DEDIZO=dedizo "$QTBRANCID" -C qtb-a)" = "dedizo /dev/ttyUSB3"
check "-C: a console server" grep -q '^socat TCP:cs1.example:7003,connect-timeout=10 PTY,link=.* & dedizo ' \
    <(QTB_PORTS="$scratch/qtb.ports" QTB_DEDIZO=dedizo "$QTBRANCID" -C qtb-b)

report
