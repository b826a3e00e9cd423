# shellcheck shell=bash disable=SC2154 # $scratch and the helpers come from lib.sh
# sshd_lib.sh - a console server reached over SSH, for the collector's tests:
# Debian's own sshd on 127.0.0.1, run from the scratch folder.
#
# Principles
# - Nothing of the machine's own sshd is used or changed: the test's sshd has
#   its own config, host key, authorized keys and pid file in $scratch/sshd,
#   listens on 127.0.0.1 only, and is a foreground process the test started,
#   ended at exit with the others (lib.sh's finish).
# - sshd needs its privilege separation directory /run/sshd. When it is
#   missing the test makes it, and removes it at exit unless another sshd is
#   still running then (a second test's, or the machine's own started since).
# - Like a console server's sshd, each of its ports is one serial port: a
#   login on the first port is linked to a QTB's terminal (socat from the
#   session to the terminal), one on the second port is closed at once. Logins
#   are by key only, to the user root (UsePAM is off, and with it sshd turns
#   away accounts whose password is locked, as service accounts' are).
# - The client side is an ssh_config file per case (qtbrancid's
#   QTB_SSH_CONFIG): its key and its known_hosts, never ~/.ssh.
#
# Sourced after lib.sh, by bash.

sshd_dir=$scratch/sshd
made_run_sshd=0

# start_sshd QTB_TERMINAL: set_up_sshd, then run_sshd.
start_sshd() {
    set_up_sshd "$1" && run_sshd
}

# set_up_sshd QTB_TERMINAL: sets sshd_port (linked to the terminal) and
# sshd_closing_port; makes the keys, the known_hosts files (the server's key,
# and another key for it) and the config in $sshd_dir.
set_up_sshd() {
    sshd_terminal=$1
    mkdir -p "$sshd_dir"
    local key
    for key in host_key other_host_key client_key refused_key; do
        ssh-keygen -q -t ed25519 -N '' -C "qtb-test-$key" -f "$sshd_dir/$key" || return 1
    done
    cp "$sshd_dir/client_key.pub" "$sshd_dir/authorized_keys"
    sshd_port=$(free_port)
    sshd_closing_port=$(free_port)
    [ "$sshd_port" != "$sshd_closing_port" ] || sshd_closing_port=$(free_port)
    local port
    : >"$sshd_dir/known_hosts"
    : >"$sshd_dir/changed_known_hosts"
    for port in "$sshd_port" "$sshd_closing_port"; do
        echo "[127.0.0.1]:$port $(cut -d ' ' -f 1,2 "$sshd_dir/host_key.pub")" >>"$sshd_dir/known_hosts"
        echo "[127.0.0.1]:$port $(cut -d ' ' -f 1,2 "$sshd_dir/other_host_key.pub")" >>"$sshd_dir/changed_known_hosts"
    done
    cat >"$sshd_dir/sshd_config" <<EOF
Port $sshd_port
Port $sshd_closing_port
ListenAddress 127.0.0.1
HostKey $sshd_dir/host_key
PidFile $sshd_dir/sshd.pid
AuthorizedKeysFile $sshd_dir/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
PermitTTY no
X11Forwarding no
AllowTcpForwarding no
AllowAgentForwarding no
PrintMotd no
# The serial port: the session's bytes to and from the QTB's terminal.
ForceCommand exec socat STDIO FILE:$sshd_terminal,raw,echo=0
Match LocalPort $sshd_closing_port
    ForceCommand exit 1
EOF
}

# run_sshd: the server, until the test ends or stop_pid "$sshd_pid"; sets
# sshd_pid.
run_sshd() {
    if [ ! -d /run/sshd ]; then
        mkdir -m 755 /run/sshd || return 1
        made_run_sshd=1
        at_exit_hooks+=(remove_run_sshd)
    fi
    /usr/sbin/sshd -D -e -f "$sshd_dir/sshd_config" 2>>"$sshd_dir/log" &
    sshd_pid=$!
    started_pids+=("$sshd_pid")
    if ! wait_for_listener "$sshd_port" || ! wait_for_listener "$sshd_closing_port"; then
        echo "sshd did not start: $(cat "$sshd_dir/log")" >&2
        return 1
    fi
}

remove_run_sshd() {
    [ "$made_run_sshd" = 1 ] || return 0
    # The test's own sshd processes may take a moment to go after its end.
    local steps=40
    while pgrep -x sshd >/dev/null && [ "$steps" -gt 0 ]; do
        steps=$((steps - 1))
        sleep 0.05
    done
    if pgrep -x sshd >/dev/null; then
        echo "# /run/sshd kept: another sshd is running"
    else
        rmdir /run/sshd && echo "# /run/sshd removed"
    fi
}

# ssh_config FILE KEY KNOWN_HOSTS: a client config for qtbrancid's
# QTB_SSH_CONFIG, with the alias qtb-cs-closed for the closing port.
ssh_config() {
    cat >"$1" <<EOF
Host qtb-cs-closed
    HostName 127.0.0.1
    Port $sshd_closing_port
    User root
Host *
    IdentityFile $2
    IdentitiesOnly yes
    IdentityAgent none
    UserKnownHostsFile $3
    GlobalKnownHostsFile /dev/null
EOF
}

# The sessions the test's sshd is serving now, as a count of processes: its
# children, and the sessions' socats on the QTB's terminal, which outlive
# their session by up to half a second (socat's wait for the other way's
# data after the end of one).
sshd_sessions() {
    echo $(($(pgrep -c -P "$sshd_pid") + $(pgrep -c -f -- "socat STDIO FILE:$sshd_terminal,")))
}

# Waits up to 3 s for the sessions to end: the server's side of a session,
# and its hold on the QTB's terminal, goes a moment after the client's.
wait_no_sessions() {
    local steps=60
    until [ "$(sshd_sessions)" -eq 0 ]; do
        steps=$((steps - 1))
        [ "$steps" -gt 0 ] || return 1
        sleep 0.05
    done
}
