#!/usr/bin/env bash
# rancid_e2e_test.sh - RANCID itself collects four simulated QTBs with
# qtbrancid, commits them to git and mails the diffs.
#
# Principles
# - The engine is Debian's rancid as it is, run by rancid-run as the rancid
#   user in the sandbox of rancid_sandbox.sh: a BASEDIR, TMPDIR, rancid.conf
#   and mail drop in the scratch folder, and a device type of the test's own
#   added to /etc/rancid/rancid.types.conf and taken out again at exit.
# - The four QTBs are reached the four ways a site wires them: through
#   ser2net (configured from the example we ship) on 127.0.0.1, on a local
#   terminal, as a console server's raw TCP port named by HOST:PORT, and over
#   SSH through an sshd of the test's own on 127.0.0.1 (sshd_lib.sh), with
#   keys and known_hosts from the scratch folder.
# - Three nights: the first commits all four (each read twice, as a first
#   backup); on the second one value changes on one QTB whose line stalls
#   once, mid-screen, in its first read: the two reads of RANCID's first
#   round differ and nothing is handed over, and its retry round reads the
#   change twice alike and commits exactly that line and mails it, so the
#   history never holds the misread; with one QTB silent and one locked the
#   third keeps their last revisions and the log names both.
#
# Usage (as root): rancid_e2e_test.sh DEDIZO QTB_SIM QTBRANCID SER2NET_EXAMPLE
# shellcheck source-path=SCRIPTDIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
. "$here/rancid_sandbox.sh"
. "$here/sshd_lib.sh"

command -v ser2net >/dev/null || { echo "not ok - ser2net is not installed" >&2; exit 1; }
sandbox_init qtbs "$1" "$2" "$3" || exit 1
ser2net_example=$4
"$QTB_SIM" --dump "$scratch/true.cfg" --no-serve || exit 1
RUN_AS="setpriv --reuid=rancid --regid=rancid --init-groups"

# --- the four QTBs --------------------------------------------------------------
ser2net_port=$(free_port)
tcp_port=$(free_port)
tcp_name=127.0.0.1:$tcp_port

# ser2net on 127.0.0.1 from the example we ship: its first connection, with
# this test's address and terminal.
awk '/^connection: &qtb2/ { exit } { print }' "$ser2net_example" |
    sed -e "s#/dev/ttyUSB0#$scratch/dev/qtb-ser2net#" -e "s#tcp,127.0.0.1,7001#tcp,127.0.0.1,$ser2net_port#" \
        >"$scratch/ser2net.yaml"

# The QTB over SSH: the console server logs in as root (see sshd_lib.sh);
# RANCID's ssh, as the rancid user, reads its key and known_hosts through the
# ssh_config that rancid.conf names.
set_up_sshd "$scratch/dev/qtb-ssh" || exit 1
ssh_config "$scratch/ssh_config" "$sshd_dir/client_key" "$sshd_dir/known_hosts"
chown -R rancid:rancid "$sshd_dir" "$scratch/ssh_config"
echo "QTB_SSH_CONFIG=$scratch/ssh_config; export QTB_SSH_CONFIG" >>"$conf"

start_devices() { # SER2NET-QTB-OPTIONS LOCAL-QTB-OPTIONS TCP-QTB-OPTIONS (word lists)
    local a b c
    read -ra a <<<"$1"
    read -ra b <<<"$2"
    read -ra c <<<"$3"
    for pid in "${started_pids[@]}"; do stop_pid "$pid"; done
    start_sim ser2net --baud 9600 --link "$scratch/dev/qtb-ser2net" "${a[@]}" &&
        start_sim local --baud 0 --link "$scratch/dev/qtb-local" "${b[@]}" &&
        start_sim tcp --baud 0 --tcp "$tcp_port" "${c[@]}" &&
        start_sim ssh --baud 0 --link "$scratch/dev/qtb-ssh" || return 1
    start_ser2net "$scratch/ser2net.yaml"
    wait_for_listener "$ser2net_port" && run_sshd
}

sandbox_group_files "qtb-ser2net;$type_name;up
qtb-local;$type_name;up
$tcp_name;$type_name;up
qtb-ssh;$type_name;up
" "# QTB          console
qtb-ser2net    127.0.0.1:$ser2net_port   # through ser2net
qtb-local      $scratch/dev/qtb-local    # a local serial line
# $tcp_name has no line: its name is its console server port
qtb-ssh        ssh://root@127.0.0.1:$sshd_port   # over SSH
"

commits() { git_group rev-list --count HEAD 2>/dev/null || echo 0; }

# dedizo, or a socat or ssh of the collector's (its terminal and ssh's log
# live in RANCID's TMPDIR).
no_collector_left() {
    [ "$(processes_with "$bin/dedizo")" -eq 0 ] && [ "$(processes_with "$scratch/tmp/")" -eq 0 ]
}

committed() { # NAME FILE: the committed config of NAME is FILE, byte for byte
    [ -z "$(git_group status --porcelain -- "configs/$1")" ] &&
        git_group show "HEAD:configs/$1" | cmp -s - "$2"
}

# --- night 1: every QTB collected and committed ------------------------------
start_devices "" "" "" || exit 1
run_rancid
for name in qtb-ser2net qtb-local "$tcp_name" qtb-ssh; do
    check "night 1: $name committed, equal to the device's backup" committed "$name" "$scratch/true.cfg"
done
check "night 1: each QTB read twice, as a first backup" \
    test "$(grep -c '(3844 bytes, first backup, read twice alike)$' "$log")" -eq 4
check "night 1: diff mail sent" grep -q "^Subject: $group router config diffs" <(mail_of_night)
check "night 1: no collector process left" no_collector_left

# --- night 2: one value changed on one QTB, whose first read is cut -----------
# Channel 3's Async Baudrate, 9600 -> 19200. qtb-local's line stalls once for
# 80 ms in the reply to the 15th DOWN of channel 1 (its 48th key): dedizo
# reads the cut screen's tail as channel 1's first field and reports a
# complete backup. Its second read is clean, so the two differ and the first
# round hands nothing over; the first retry round reads twice alike.
changed_values "$scratch/true.cfg" "$scratch/changed.cfg"
chown rancid:rancid "$scratch/changed.cfg"
before=$(commits)
start_devices "" "--values $scratch/changed.cfg --split-once 48:80 --key-log $scratch/local2.keys" "" || exit 1
run_rancid
check "night 2: qtb-local's change committed" committed qtb-local "$scratch/changed.cfg"
check "night 2: qtb-local's first round: two reads differ, nothing handed over" \
    grep -q '^qtbrancid: qtb-local: no backup from .*: the two reads differ at line 2 (first " = ", then "Channel Type = HDLC"); the last revision stays$' "$log"
# The differing reads, then RANCID's retry round, then the confirmed change.
check "night 2: qtb-local's change handed over in the retry round" awk '
    /^qtbrancid: qtb-local: no backup from .*: the two reads differ/ { differ = NR }
    /^Getting missed routers: round 1\./ && differ { round = NR }
    /^qtbrancid: qtb-local: backup collected from .*, changed, read twice alike\)$/ && round { found = 1 }
    END { exit !found }' "$log"
check "night 2: qtb-local read four times (1224 keys)" test "$(wc -l <"$scratch/local2.keys")" -eq 1224
check "night 2: the unchanged QTBs read once each" test "$(grep -c '(3844 bytes, unchanged)$' "$log")" -eq 3
# The misread first line of channel 1's block is " = ": no label, no value.
never_committed_misread() { ! git_group log -p -- "configs/$1" | grep -q '^+ = '; }
check "night 2: qtb-local's history never holds the misread" never_committed_misread qtb-local
check "night 2: the others unchanged" committed qtb-ser2net "$scratch/true.cfg"
check "night 2: one new commit" test "$(commits)" -eq $((before + 1))
diff_lines=$(git_group diff HEAD~1 HEAD | grep -E '^[-+][^-+]')
printf '#   %s\n' "$diff_lines"
check "night 2: the commit is exactly that one line" test "$diff_lines" = "$(printf -- '-Async Baudrate = 9600\r\n+Async Baudrate = 19200\r')"
check "night 2: the mail carries the diff" grep -q '^+ Async Baudrate = 19200' <(mail_of_night)

# --- night 3: one QTB silent, one locked ---------------------------------------
before=$(commits)
start_devices "--silent" "--values $scratch/changed.cfg" "--locked" || exit 1
run_rancid
check "night 3: no new commit" test "$(commits)" -eq "$before"
check "night 3: silent QTB keeps its last revision" committed qtb-ser2net "$scratch/true.cfg"
check "night 3: locked QTB keeps its last revision" committed "$tcp_name" "$scratch/true.cfg"
check "night 3: the log names the silent QTB" \
    grep -q "^qtbrancid: qtb-ser2net: no backup from 127.0.0.1:$ser2net_port: Error, no communication with QTB\.; the last revision stays" "$log"
check "night 3: the log names the locked QTB" \
    grep -q "^qtbrancid: $tcp_name: no backup from $tcp_name: QTB is locked, can not read the configuration\.; the last revision stays" "$log"
check "night 3: no collector process left" no_collector_left

report
