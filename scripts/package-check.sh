#!/usr/bin/env bash
# Builds dedizo's packages and checks them as a user would receive them:
#   the Linux .deb and .tar.gz from the native build (default preset),
#   the Windows .zip from the cross-build (windows preset);
# lists their contents, unpacks each into a scratch root, runs the installed
# programs there, and renders the manual page. Exits non-zero if any check
# failed.
#
# The build directories are the presets' (build, build-windows) unless
# DEDIZO_BUILD_DIR or DEDIZO_WINDOWS_BUILD_DIR name others. Packages go to
# packages/ in each build directory, the scratch roots to package-check/.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top" || exit 1
# shellcheck source=scripts/need-packages.sh
. scripts/need-packages.sh
need_packages cmake g++ make g++-mingw-w64-x86-64-posix dpkg-dev unzip || exit 1

native=${DEDIZO_BUILD_DIR:-$top/build}
windows=${DEDIZO_WINDOWS_BUILD_DIR:-$top/build-windows}
scratch=$native/package-check
jobs=$(nproc)

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
pass() {
    echo "ok: $*"
}

# expect_files WHAT EXPECTED-LIST ACTUAL-LIST: the archive holds exactly
# these files (directories aside).
expect_files() {
    local what=$1 expected actual
    expected=$(printf '%s\n' "$2" | sed '/^$/d' | sort)
    actual=$(printf '%s\n' "$3" | sed '/^$/d;/\/$/d' | sort)
    if [ "$expected" = "$actual" ]; then
        pass "$what holds exactly: $(printf '%s ' "$expected" | tr '\n' ' ')"
    else
        fail "$what holds:"
        printf '    %s\n' "$actual"
        echo "  expected:"
        printf '    %s\n' "$expected"
    fi
}

# expect_run WHAT STATUS OUTPUT COMMAND...: COMMAND's standard output and
# exit status are exactly these. Its standard error is shown, not compared.
expect_run() {
    local what=$1 want_status=$2 want_out=$3 out status
    shift 3
    out=$("$@" 2>"$scratch/stderr.txt")
    status=$?
    if [ "$status" -eq "$want_status" ] && [ "$out" = "$want_out" ]; then
        pass "$what: exit $status, $(printf '%s' "$out" | tr -d '\r' | head -n 1)"
    else
        fail "$what: exit $status (expected $want_status), output:"
        printf '%s' "$out" | od -c | head -n 8
        sed 's/^/    stderr: /' "$scratch/stderr.txt" | head -n 5
    fi
}

# The files a Linux installation holds, under the prefix $1.
installed_files() {
    local doc=$1/share/doc/dedizo
    printf '%s\n' "$1/bin/dedizo" "$1/bin/qtb-sim" "$1/bin/qtbrancid" \
        "$1/share/man/man1/dedizo.1" "$1/share/man/man1/qtbrancid.1" "$doc/README.md" \
        "$doc/examples/rancid/qtb.ports" "$doc/examples/rancid/rancid.types.conf" \
        "$doc/examples/rancid/router.db" "$doc/examples/rancid/ser2net.yaml"
}

usage_line=$(printf 'Usage: DEDIZO [COM1: | COM2:]\n\r')

# ---- Build and package ----------------------------------------------------
build_and_package() {
    local preset=$1 dir=$2
    shift 2
    cmake --preset "$preset" -B "$dir" >/dev/null &&
        cmake --build "$dir" -j"$jobs" --target "$@" >/dev/null &&
        rm -rf "$dir/packages" &&
        (cd "$dir" && cpack -B "$dir/packages" >/dev/null)
}
if ! build_and_package default "$native" dedizo qtb-sim; then
    fail "the native build or its packages"
    exit 1
fi
if ! build_and_package windows "$windows" dedizo; then
    fail "the Windows build or its package"
    exit 1
fi

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$native/CMakeCache.txt")
arch=$(dpkg --print-architecture)
deb=$native/packages/dedizo_${version}_${arch}.deb
tgz=$native/packages/dedizo-${version}-Linux.tar.gz
zip=$windows/packages/dedizo-${version}-win64.zip
for package in "$deb" "$tgz" "$zip"; do
    if [ -f "$package" ]; then pass "built $(basename "$package")"; else fail "no $package"; fi
done
rm -rf "$scratch"
mkdir -p "$scratch"

# ---- The .deb --------------------------------------------------------------
if [ -f "$deb" ]; then
    expect_files "the .deb" "$(installed_files ./usr)" "$(dpkg-deb -c "$deb" | awk '{print $6}')"
    if [ "$(dpkg-deb -f "$deb" Package Version)" = "$(printf 'Package: dedizo\nVersion: %s' "$version")" ]; then
        pass "the .deb is dedizo $version"
    else
        fail "the .deb's control: $(dpkg-deb -f "$deb" Package Version)"
    fi
    dpkg-deb -x "$deb" "$scratch/deb-root"
    root=$scratch/deb-root/usr
    expect_run "installed dedizo without a port" 255 "$usage_line" "$root/bin/dedizo"

    # The installed pair talk to each other: a locked device is a short
    # dialogue through a real pseudo-terminal, port setup and restore included.
    "$root/bin/qtb-sim" --baud 0 --locked >"$scratch/sim.out" 2>"$scratch/sim.err" &
    sim=$!
    for _ in $(seq 100); do
        [ -s "$scratch/sim.out" ] && break
        sleep 0.05
    done
    port=$(head -n 1 "$scratch/sim.out")
    out=$(cd "$scratch" && timeout 60 "$root/bin/dedizo" "$port" 2>/dev/null)
    status=$?
    kill "$sim" 2>/dev/null
    wait "$sim" 2>/dev/null
    locked=$(printf 'QTB is locked, can not read the configuration.\n\rPlease unlock the QTB and try again.\n\r')
    if [ -n "$port" ] && [ "$status" -eq 0 ] && [ "${out%"$locked"}" != "$out" ]; then
        pass "installed dedizo against installed qtb-sim --locked: exit 0, device reported locked"
    else
        fail "installed dedizo against installed qtb-sim on '$port': exit $status, output ends:"
        printf '%s' "$out" | tail -c 200 | od -c | tail -n 6
    fi

    # The collector finds the dedizo installed beside it.
    expect_run "installed qtbrancid -C" 0 "$root/bin/dedizo /dev/ttyUSB3" \
        env QTB_PORTS=/dev/stdin "$root/bin/qtbrancid" -C qtb-lab <<<"qtb-lab /dev/ttyUSB3"

    if command -v man >/dev/null; then
        for page in dedizo.1 qtbrancid.1; do
            warnings=$(MANWIDTH=80 man --warnings -l "$root/share/man/man1/$page" 2>&1 >"$scratch/man.txt")
            if [ -z "$warnings" ] && grep -q 'EXIT STATUS' "$scratch/man.txt"; then
                pass "man -l renders $page without warnings ($(wc -l <"$scratch/man.txt") lines)"
            else
                fail "man -l $page: ${warnings:-no EXIT STATUS section in the output}"
            fi
        done
    else
        echo "skipped: man is not installed, dedizo.1 not rendered"
    fi
fi

# ---- The .tar.gz -----------------------------------------------------------
if [ -f "$tgz" ]; then
    base=dedizo-${version}-Linux
    expect_files "the .tar.gz" "$(installed_files "$base")" "$(tar tzf "$tgz")"
    mkdir -p "$scratch/tgz-root"
    tar xzf "$tgz" -C "$scratch/tgz-root"
    expect_run "dedizo from the .tar.gz without a port" 255 "$usage_line" \
        "$scratch/tgz-root/$base/bin/dedizo"
fi

# ---- The Windows .zip -------------------------------------------------------
if [ -f "$zip" ]; then
    expect_files "the .zip" "DEDIZO.EXE
README.TXT" "$(unzip -Z1 "$zip")"
    unzip -q "$zip" -d "$scratch/zip-root"
    exe=$scratch/zip-root/DEDIZO.EXE
    readme=$scratch/zip-root/README.TXT
    if [ "$(head -c 2 "$exe")" = "MZ" ]; then
        pass "DEDIZO.EXE is a Windows program"
    else
        fail "DEDIZO.EXE does not start with MZ"
    fi
    lines=$(wc -l <"$readme")
    crlf=$(grep -c $'\r$' "$readme")
    if [ "$lines" -gt 0 ] && [ "$lines" -eq "$crlf" ]; then
        pass "README.TXT has CR LF line ends"
    else
        fail "README.TXT: $crlf of $lines lines end in CR LF"
    fi
    # Run it under Wine when the Wine tests have made their prefix: it must
    # start with nothing but what a bare Windows has (it is statically
    # linked). Standard output is a text stream there: "\n\r" is CR LF CR.
    prefix=$native/wine-prefix
    if command -v wine >/dev/null && [ -f "$prefix/.complete" ]; then
        expect_run "DEDIZO.EXE from the .zip under Wine, without a port" 255 \
            "$(printf 'Usage: DEDIZO [COM1: | COM2:]\r\n\r')" \
            timeout 120 sh tests/wine/wine_env.sh run "$prefix" "$exe"
        sh tests/wine/wine_env.sh stop "$prefix"
    else
        echo "skipped: no Wine prefix at $prefix (made by the Wine tests), DEDIZO.EXE not run"
    fi
fi

echo
if [ "$failures" -eq 0 ]; then
    echo "packages: all checks passed"
else
    echo "packages: $failures check(s) failed"
fi
[ "$failures" -eq 0 ]
