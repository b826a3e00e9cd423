# shellcheck shell=bash
# lib.sh - shared by the collector's tests: a scratch folder, simulated QTBs,
# a console server, and checks that report as they go.
#
# Principles
# - Everything a test makes lives in one scratch folder, removed at exit
#   (KEEP_TEST_DIRS=1 keeps it for a look after a failure).
# - Every process a test starts is recorded as it starts and ended at exit,
#   pass or fail, and the tests check that none is left behind.
# - Waits poll in short steps with a bound, and a wait that runs out is a
#   failure, never a hang.
# - A check prints "ok - WHAT" or "not ok - WHAT" and counts; the test's exit
#   status is the count of failures being zero.
#
# Sourced by bash; the caller sets DEDIZO, QTB_SIM and QTBRANCID first.

set -u

checks_failed=0
checks_passed=0
started_pids=()
scratch=$(mktemp -d "${TMPDIR:-/tmp}/qtbrancid-test.XXXXXX") || exit 1
at_exit_hooks=()

finish() {
    local status=$?
    local pid
    for pid in "${started_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null
    done
    for pid in "${started_pids[@]}"; do
        wait "$pid" 2>/dev/null
    done
    local hook
    for hook in "${at_exit_hooks[@]}"; do
        "$hook"
    done
    if [ "${KEEP_TEST_DIRS:-0}" = 1 ]; then
        echo "scratch folder kept: $scratch"
    else
        rm -rf "$scratch"
    fi
    exit "$status"
}
trap finish EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

check() { # check WHAT COMMAND...
    local what=$1
    shift
    if "$@"; then
        checks_passed=$((checks_passed + 1))
        echo "ok - $what"
    else
        checks_failed=$((checks_failed + 1))
        echo "not ok - $what"
    fi
}

report() {
    echo "$checks_passed passed, $checks_failed failed"
    [ "$checks_failed" -eq 0 ]
}

# Waits up to $2 seconds (default 10) for the file $1 to exist and be non-empty.
wait_for_file() {
    local steps=$((${2:-10} * 20))
    while [ ! -s "$1" ]; do
        steps=$((steps - 1))
        [ "$steps" -gt 0 ] || return 1
        sleep 0.05
    done
}

# A TCP port on 127.0.0.1 that nothing listens on now.
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_sim NAME [qtb-sim options...]: qtb-sim in the background, its output in
# $scratch/NAME.sim; sets sim_line to the first line it writes (the terminal's
# path, or "tcp 127.0.0.1:PORT"). Not to be called in a $(...): the process
# would not be recorded, and outlive the test. RUN_AS, when set, is a command
# prefix that runs it as another user.
start_sim() {
    local name=$1
    shift
    sim_line=""
    rm -f "$scratch/$name.sim"
    ${RUN_AS:-} "$QTB_SIM" "$@" >"$scratch/$name.sim" 2>"$scratch/$name.sim.err" &
    started_pids+=($!)
    if ! wait_for_file "$scratch/$name.sim" 10; then
        echo "qtb-sim $name did not start: $(cat "$scratch/$name.sim.err")" >&2
        return 1
    fi
    # shellcheck disable=SC2034 # read by the test that sourced this file
    sim_line=$(head -n 1 "$scratch/$name.sim")
}

# Ends the process $1 started by this test, and waits for it.
stop_pid() {
    kill -TERM "$1" 2>/dev/null
    wait "$1" 2>/dev/null
    forget_pid "$1"
}

# Takes the process $1, which has ended and been waited for, off the list of
# those to end at exit.
forget_pid() {
    local kept=()
    local pid
    for pid in "${started_pids[@]}"; do
        [ "$pid" = "$1" ] || kept+=("$pid")
    done
    started_pids=("${kept[@]}")
}

# ser2net serving its YAML file $1, in the foreground of a background job.
start_ser2net() {
    ser2net -n -c "$1" -P "$scratch/ser2net.pid" >"$scratch/ser2net.log" 2>&1 &
    started_pids+=($!)
}

# Waits up to 10 s until something listens on 127.0.0.1:$1 (without
# connecting: a console server opens its serial line for each connection).
wait_for_listener() {
    local steps=200
    until ss -Hltn "sport = :$1" | grep -q .; do
        steps=$((steps - 1))
        [ "$steps" -gt 0 ] || return 1
        sleep 0.05
    done
}

# changed_values BACKUP OUT: the backup with one value changed, channel 3's
# Async Baudrate 9600 -> 19200: a QTB's configuration after an edit.
changed_values() {
    awk '/CHANNEL 3 CONFIGURATION/ { c = 1 } c && /^Async Baudrate = 9600/ { sub(/9600/, "19200"); c = 0 } { print }' \
        "$1" >"$2"
}

# A clock for timings, in seconds, and the seconds since such a reading, with
# $2 (default 1) decimals.
clock() { date +%s.%N; }
seconds_since() {
    awk -v t0="$1" -v t1="$(clock)" -v d="${2:-1}" 'BEGIN { printf "%.*f", d, t1 - t0 }'
}

# The processes whose command line holds $1 (socat, dedizo, ...), as a count.
processes_with() {
    pgrep -f -c -- "$1" || true
}
