#!/bin/sh
# wine_env.sh - a private Wine installation for running dedizo's Windows build.
#
#   wine_env.sh create PREFIX               make a 64-bit Wine prefix at PREFIX (once)
#   wine_env.sh map-com PREFIX N DEVICE     make COMn in PREFIX the unix serial DEVICE
#   wine_env.sh unmap-com PREFIX N          remove COMn from PREFIX
#   wine_env.sh run PREFIX PROGRAM [ARG...] run a Windows program in PREFIX
#   wine_env.sh stop PREFIX                 end the prefix's wineserver
#
# Every command runs Wine quietly (no debug channels, so Wine's stderr stays
# short) and without the .NET and HTML runtimes, whose installers would
# otherwise be offered on the first start. Nothing is written outside PREFIX:
# the menu builder, which would add desktop entries under the home
# directory, is turned off. `create` is cheap when the prefix is already
# complete, and safe to call from several tests at once: the first caller
# builds the prefix and the others wait for it.
set -eu

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEARCH=win64

usage() {
    sed -n '4,8s/^# //p' "$0" >&2
    exit 2
}

[ $# -ge 2 ] || usage
command=$1
WINEPREFIX=$2
export WINEPREFIX
shift 2

case $command in
create)
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec 9>"$WINEPREFIX.lock"
    flock 9
    if [ ! -f "$WINEPREFIX/.complete" ]; then
        # A prefix without the marker is a start that was interrupted.
        rm -rf "$WINEPREFIX"
        # Bounded: a first boot takes about fifteen seconds; one that hangs
        # must fail the tests, not hold them until the CI job is killed.
        if ! timeout 300 wineboot --init >/dev/null 2>&1 || ! timeout 120 wineserver --wait; then
            wineserver --kill >/dev/null 2>&1 || true
            exit 1
        fi
        touch "$WINEPREFIX/.complete"
    fi
    ;;
map-com)
    [ $# -eq 2 ] || usage
    # Wine resolves the link at every open, so a test can point the same
    # COM name at a new pseudo-terminal each time.
    ln -sfn "$2" "$WINEPREFIX/dosdevices/com$1"
    ;;
unmap-com)
    [ $# -eq 1 ] || usage
    rm -f "$WINEPREFIX/dosdevices/com$1"
    ;;
run)
    [ $# -ge 1 ] || usage
    # Start the prefix's server here, away from the caller's output, unless
    # it is running already. The server is the process that opens serial
    # devices, so a pseudo-terminal standing in for a port becomes its
    # controlling terminal; when that terminal goes away the server gets
    # SIGHUP and dumps every object it holds on its stderr.
    wineserver --persistent=10 </dev/null >/dev/null 2>&1 || true
    exec wine "$@"
    ;;
stop)
    wineserver --kill >/dev/null 2>&1 || true
    ;;
*)
    usage
    ;;
esac
