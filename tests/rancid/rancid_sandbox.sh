# shellcheck shell=bash
# shellcheck disable=SC2154,SC2034 # scratch and the lists come from lib.sh; what is set here is for the caller
# rancid_sandbox.sh - Debian's RANCID, run as its own user on a BASEDIR in the
# scratch folder, for the tests and the benchmark. Sourced after lib.sh.
#
# Principles
# - RANCID is used as it is: rancid-cvs makes the group, rancid-run collects
#   it, as the rancid user, with a rancid.conf of ours (-f) that points
#   BASEDIR, TMPDIR, the log and the mail into the scratch folder.
# - The device type list is the one thing fixed in RANCID's code
#   (/etc/rancid/rancid.types.conf). The sandbox adds a type of its own name
#   there and puts the file back at exit, pass or fail.
# - The programs are copied side by side into the scratch folder, as the
#   package installs them, so that the rancid user can run them.
#
# After sandbox_init: $bin, $base (BASEDIR), $conf, $group, $type_name.

# sandbox_init GROUP DEDIZO QTB_SIM QTBRANCID
sandbox_init() {
    group=$1
    local need
    for need in rancid-run rancid-cvs socat git runuser setpriv; do
        command -v "$need" >/dev/null || { echo "not ok - $need is not installed" >&2; return 1; }
    done
    [ "$(id -u)" -eq 0 ] || { echo "not ok - needs root (RANCID runs as its own user)" >&2; return 1; }
    id rancid >/dev/null 2>&1 || { echo "not ok - no rancid user (see the README's RANCID section)" >&2; return 1; }
    [ -f "$types_conf" ] || { echo "not ok - $types_conf missing" >&2; return 1; }

    bin=$scratch/bin
    base=$scratch/base
    conf=$scratch/rancid.conf
    mkdir -p "$bin" "$base" "$scratch/tmp" "$scratch/mail" "$scratch/home" "$scratch/dev"
    cp "$2" "$bin/dedizo"
    cp "$3" "$bin/qtb-sim"
    cp "$4" "$bin/qtbrancid"
    QTB_SIM=$bin/qtb-sim
    cat >"$bin/sendmail" <<'EOF'
#!/bin/sh
# Keeps each message RANCID sends as a file of the mail drop.
exec cat >"$(mktemp "$MAIL_DROP/message.XXXXXX")"
EOF
    chmod 755 "$bin"/*
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
MAX_ROUNDS=3
LIST_OF_GROUPS="$group"
SENDMAIL=$bin/sendmail
MAIL_DROP=$scratch/mail; export MAIL_DROP
EOF
    chown -R rancid:rancid "$scratch"

    type_name=qtbtest$$
    cp -p "$types_conf" "$scratch/types.conf.orig"
    at_exit_hooks+=(sandbox_put_types_back)
    echo "$type_name;script;$bin/qtbrancid" >>"$types_conf"

    runuser -u rancid -- env HOME="$scratch/home" rancid-cvs -f "$conf" "$group" \
        >"$scratch/rancid-cvs.log" 2>&1 || { cat "$scratch/rancid-cvs.log"; return 1; }
    touch "$scratch/night0.stamp"
    night=0
}
types_conf=/etc/rancid/rancid.types.conf

sandbox_put_types_back() {
    cp -p "$scratch/types.conf.orig" "$types_conf" && echo "# $types_conf put back"
}

# sandbox_set VARIABLE VALUE: a setting of the sandbox's rancid.conf.
sandbox_set() {
    sed -i "s|^$1=.*|$1=$2|" "$conf"
}

# sandbox_group_files ROUTER_DB QTB_PORTS: the group's two lists.
sandbox_group_files() {
    printf '%s' "$1" >"$base/$group/router.db"
    printf '%s' "$2" >"$base/$group/qtb.ports"
    chown rancid:rancid "$base/$group/router.db" "$base/$group/qtb.ports"
}

# One night: rancid-run on the group, bounded. Sets $log to that night's log
# and prints the collector's lines from it; $night_seconds is how long it took.
run_rancid() {
    night=$((night + 1))
    local t0
    t0=$(clock)
    timeout 900 runuser -u rancid -- env HOME="$scratch/home" USER=rancid LOGNAME=rancid \
        rancid-run -f "$conf" "$group"
    night_seconds=$(seconds_since "$t0")
    log=$(find "$base/logs" -name "$group.*" -newer "$scratch/night$((night - 1)).stamp" -type f | sort | tail -n 1)
    touch "$scratch/night$night.stamp"
    echo "# night $night: rancid-run took $night_seconds s; log $log"
    if grep -q '^qtbrancid' "$log"; then
        grep '^qtbrancid' "$log" | sed 's/^/#   /'
    else
        echo "# no collection in that night; its log:"
        sed 's/^/#   /' "$log"
    fi
}

# The mail RANCID sent on the latest night.
mail_of_night() {
    find "$scratch/mail" -type f -newer "$scratch/night$((night - 1)).stamp" -exec cat {} +
}

git_group() { git -c safe.directory='*' -C "$base/$group" "$@"; }
