#!/usr/bin/env bash
# rancid_e2e_test.sh - RANCID itself collects four simulated QTBs with
# qtbrancid, commits them to git and mails the diffs.
#
# Principles
# - The engine is Debian's rancid as it is, run by rancid-run as the rancid
#   user, on a BASEDIR, TMPDIR, rancid.conf and mail drop in the scratch
#   folder. Only the device type list is fixed in RANCID's code
#   (/etc/rancid/rancid.types.conf): the test adds a type of its own there
#   and puts the file back when it ends, pass or fail.
# - The three QTBs are reached the three ways a site wires them: through
#   ser2net (configured from the example we ship) on 127.0.0.1, on a local
#   terminal, and as a console server's raw TCP port named by HOST:PORT;
#   the fourth over SSH, through an sshd of the test's own on 127.0.0.1
#   (sshd_lib.sh), with keys and known_hosts from the scratch folder.
# - Three nights: the first commits all three; after one value changes on
#   one QTB the second commits exactly that line and mails it; with one QTB
#   silent and one locked the third keeps their last revisions and the log
#   names both.
#
# Usage (as root): rancid_e2e_test.sh DEDIZO QTB_SIM QTBRANCID SER2NET_EXAMPLE
# shellcheck source-path=SCRIPTDIR
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
. "$here/sshd_lib.sh"

types_conf=/etc/rancid/rancid.types.conf
for need in rancid-run rancid-cvs ser2net socat git runuser setpriv; do
    command -v "$need" >/dev/null || { echo "not ok - $need is not installed" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { echo "not ok - needs root (RANCID runs as its own user)" >&2; exit 1; }
id rancid >/dev/null 2>&1 || { echo "not ok - no rancid user (see the README's RANCID section)" >&2; exit 1; }
[ -f "$types_conf" ] || { echo "not ok - $types_conf missing" >&2; exit 1; }

# --- the installation: programs side by side, as the package lays them out --
bin=$scratch/bin
mkdir -p "$bin" "$scratch/base" "$scratch/tmp" "$scratch/mail" "$scratch/home" "$scratch/dev"
cp "$1" "$bin/dedizo"
cp "$2" "$bin/qtb-sim"
cp "$3" "$bin/qtbrancid"
ser2net_example=$4
QTB_SIM=$bin/qtb-sim
cat >"$bin/sendmail" <<'EOF'
#!/bin/sh
# Keeps each message RANCID sends as a file of the mail drop.
exec cat >"$(mktemp "$MAIL_DROP/message.XXXXXX")"
EOF
chmod 755 "$bin"/*
"$QTB_SIM" --dump "$scratch/true.cfg" --no-serve || exit 1

group=qtbs
base=$scratch/base
conf=$scratch/rancid.conf
cat >"$conf" <<EOF
LC_COLLATE="POSIX"; export LC_COLLATE
umask 027
PERL5LIB="/usr/share/perl5/rancid"; export PERL5LIB
TMPDIR=$scratch/tmp; export TMPDIR
BASEDIR=$base; export BASEDIR
PATH=/usr/lib/rancid/bin:/usr/bin:/usr/sbin:/bin; export PATH
CVSROOT=\$BASEDIR/CVS; export CVSROOT
LOGDIR=\$BASEDIR/logs; export LOGDIR
RCSSYS=git; export RCSSYS
PAR_COUNT=5
MAX_ROUNDS=1
LIST_OF_GROUPS="$group"
SENDMAIL=$bin/sendmail
MAIL_DROP=$scratch/mail; export MAIL_DROP
QTB_SSH_CONFIG=$scratch/ssh_config; export QTB_SSH_CONFIG
EOF
chown -R rancid:rancid "$scratch"
as_rancid() {
    runuser -u rancid -- env HOME="$scratch/home" USER=rancid LOGNAME=rancid "$@"
}
RUN_AS="setpriv --reuid=rancid --regid=rancid --init-groups"

# The device type, in the one place RANCID reads types from.
type_name=qtbtest$$
cp -p "$types_conf" "$scratch/types.conf.orig"
put_types_back() {
    cp -p "$scratch/types.conf.orig" "$types_conf" && echo "# $types_conf put back"
}
at_exit_hooks+=(put_types_back)
echo "$type_name;script;$bin/qtbrancid" >>"$types_conf"

as_rancid rancid-cvs -f "$conf" "$group" >"$scratch/rancid-cvs.log" 2>&1 ||
    { cat "$scratch/rancid-cvs.log"; exit 1; }

# --- the three QTBs -----------------------------------------------------------
ser2net_port=$(free_port)
tcp_port=$(free_port)
tcp_name=127.0.0.1:$tcp_port

# ser2net on 127.0.0.1 from the example we ship: its first connection, with
# this test's address and terminal.
awk '/^connection: &qtb2/ { exit } { print }' "$ser2net_example" |
    sed -e "s#/dev/ttyUSB0#$scratch/dev/qtb-ser2net#" -e "s#tcp,127.0.0.1,7001#tcp,127.0.0.1,$ser2net_port#" \
        >"$scratch/ser2net.yaml"

# The QTB over SSH: the console server logs in as root (see sshd_lib.sh);
# RANCID's ssh, as the rancid user, reads its key and known_hosts.
set_up_sshd "$scratch/dev/qtb-ssh" || exit 1
ssh_config "$scratch/ssh_config" "$sshd_dir/client_key" "$sshd_dir/known_hosts"
chown -R rancid:rancid "$sshd_dir" "$scratch/ssh_config"

start_devices() { # SER2NET-QTB-OPTIONS LOCAL-QTB-OPTIONS TCP-QTB-OPTIONS (word lists)
    local a b c
    read -ra a <<<"$1"
    read -ra b <<<"$2"
    read -ra c <<<"$3"
    for pid in "${started_pids[@]}"; do stop_pid "$pid"; done
    start_sim ser2net --baud 9600 --link "$scratch/dev/qtb-ser2net" "${a[@]}" >/dev/null &&
        start_sim local --baud 0 --link "$scratch/dev/qtb-local" "${b[@]}" >/dev/null &&
        start_sim tcp --baud 0 --tcp "$tcp_port" "${c[@]}" >/dev/null || return 1
    start_ser2net "$scratch/ser2net.yaml"
    wait_for_listener "$ser2net_port" &&
        start_sim ssh --baud 0 --link "$scratch/dev/qtb-ssh" >/dev/null && run_sshd
}

cat >"$base/$group/router.db" <<EOF
qtb-ser2net;$type_name;up
qtb-local;$type_name;up
$tcp_name;$type_name;up
qtb-ssh;$type_name;up
EOF
cat >"$base/$group/qtb.ports" <<EOF
# QTB          console
qtb-ser2net    127.0.0.1:$ser2net_port   # through ser2net
qtb-local      $scratch/dev/qtb-local    # a local serial line
# $tcp_name has no line: its name is its console server port
qtb-ssh        ssh://root@127.0.0.1:$sshd_port   # over SSH
EOF
chown rancid:rancid "$base/$group/router.db" "$base/$group/qtb.ports"

git_group() { git -c safe.directory='*' -C "$base/$group" "$@"; }
commits() { git_group rev-list --count HEAD 2>/dev/null || echo 0; }

# dedizo, or a socat or ssh of the collector's (its terminal and ssh's log
# live in RANCID's TMPDIR).
no_collector_left() {
    [ "$(processes_with "$bin/dedizo")" -eq 0 ] && [ "$(processes_with "$scratch/tmp/")" -eq 0 ]
}

night=0
run_rancid() {
    night=$((night + 1))
    local t0=$SECONDS
    timeout 600 runuser -u rancid -- env HOME="$scratch/home" USER=rancid LOGNAME=rancid \
        rancid-run -f "$conf" "$group"
    log=$(find "$base/logs" -name "$group.*" -newer "$scratch/night$((night - 1)).stamp" -type f | sort | tail -n 1)
    touch "$scratch/night$night.stamp"
    echo "# night $night: rancid-run took $((SECONDS - t0)) s; log $log"
    grep '^qtbrancid' "$log" | sed 's/^/#   /'
}
touch "$scratch/night0.stamp"
# The mail RANCID sent on the latest night.
mail_of_night() {
    find "$scratch/mail" -type f -newer "$scratch/night$((night - 1)).stamp" -exec cat {} +
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
check "night 1: diff mail sent" grep -q "^Subject: $group router config diffs" <(mail_of_night)
check "night 1: no collector process left" no_collector_left

# --- night 2: one value changed on one QTB ------------------------------------
# Channel 3's Async Baudrate, 9600 -> 19200.
awk '/CHANNEL 3 CONFIGURATION/ { c = 1 } c && /^Async Baudrate = 9600/ { sub(/9600/, "19200"); c = 0 } { print }' \
    "$scratch/true.cfg" >"$scratch/changed.cfg"
chown rancid:rancid "$scratch/changed.cfg"
before=$(commits)
start_devices "" "--values $scratch/changed.cfg" "" || exit 1
run_rancid
check "night 2: qtb-local's change committed" committed qtb-local "$scratch/changed.cfg"
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
