#!/usr/bin/env bash
# Sets up and runs every test of dedizo:
#   native build and its tests (unit, simulator, end to end),
#   the same tests under AddressSanitizer and UndefinedBehaviorSanitizer,
#   the serial link's macOS/BSD wait (select) built on Linux: its timing tests
#   and a byte-exact backup against qtb-sim,
#   the screen-paint parser under libFuzzer for a bounded time,
#   the Windows cross-build and its runs under Wine,
#   the RANCID collector, alone, through a test sshd, and under Debian's rancid,
#   every shell script of the project through shellcheck,
#   the packages and the installed tool.
# Installs what is missing first. Exits non-zero if any stage failed.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top" || exit 1
# shellcheck source=scripts/need-packages.sh
. scripts/need-packages.sh

FUZZ_SECONDS=${FUZZ_SECONDS:-60}
JOBS=$(nproc)

# rancid's package creates its user only when its install question is
# answered yes; a noninteractive install answers no. Answer it first, and
# mend an install that was made without the user.
if command -v debconf-set-selections >/dev/null; then
    echo "rancid rancid/go_on boolean true" | debconf-set-selections
fi
need_packages cmake g++ make libgtest-dev googletest clang libclang-rt-14-dev \
    g++-mingw-w64-x86-64-posix wine wine64 socat valgrind python3 dpkg-dev unzip \
    rancid ser2net git shellcheck iproute2 procps openssh-server openssh-client || exit 1
if ! id rancid >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive dpkg-reconfigure -f noninteractive rancid || exit 1
fi

passed=0
failed=0
failures=()
stage() {
    local name=$1
    shift
    echo
    echo "==== $name ===="
    local t0=$SECONDS
    if "$@"; then
        passed=$((passed + 1))
        echo "==== $name: ok ($((SECONDS - t0)) s) ===="
    else
        failed=$((failed + 1))
        failures+=("$name")
        echo "==== $name: FAILED ($((SECONDS - t0)) s) ===="
    fi
}

windows_build() {
    cmake --preset windows >/dev/null && cmake --build --preset windows -j"$JOBS"
}
native_tests() {
    cmake --preset default >/dev/null && cmake --build --preset default -j"$JOBS" &&
        ctest --preset default -j"$JOBS" --timeout 600
}
sanitizer_tests() {
    cmake --preset sanitize >/dev/null && cmake --build --preset sanitize -j"$JOBS" &&
        ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
            ctest --preset sanitize -j"$JOBS" --timeout 900
}
# The portable preset builds the wait every system but Linux uses; only the
# serial link's tests and one full backup run on it (about 30 s with the build).
portable_wait_tests() {
    cmake --preset portable >/dev/null &&
        cmake --build --preset portable -j"$JOBS" --target serial_link_test e2e_test &&
        ctest --preset portable --timeout 300 \
            -R '^(Link|LinkNames|Line/ReplyTiming)\.|^EndToEnd\.FullBackupReplaysTheDeviceExactly$'
}
fuzz_parser() {
    cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j"$JOBS" --target field_reply_fuzz || return 1
    local corpus=build-fuzz/corpus
    mkdir -p "$corpus"
    build-fuzz/tests/fuzz/field_reply_fuzz -max_total_time="$FUZZ_SECONDS" -max_len=2100 \
        -print_final_stats=1 "$corpus" tests/fuzz/seeds
}

# Every shell script the repository holds: *.sh, and the files that start
# with a sh or bash line.
shell_scripts() {
    local f
    git ls-files | while IFS= read -r f; do
        case $f in
        *.sh) echo "$f" ;;
        *) head -n 1 "$f" 2>/dev/null | grep -qE '^#!.*(/|env )(ba|da)?sh( |$)' && echo "$f" ;;
        esac
    done
}
check_shell_scripts() {
    local files
    mapfile -t files < <(shell_scripts)
    echo "${#files[@]} scripts: ${files[*]}"
    shellcheck -x "${files[@]}"
}

stage "shell scripts (shellcheck)" check_shell_scripts
stage "windows cross-build" windows_build
stage "native build and tests" native_tests
stage "sanitizer build and tests" sanitizer_tests
stage "portable wait (macOS/BSD path) build and tests" portable_wait_tests
stage "parser fuzzing (${FUZZ_SECONDS} s)" fuzz_parser
[ -x scripts/package-check.sh ] && stage "packages" scripts/package-check.sh

echo
[ ${#failures[@]} -eq 0 ] || echo "failed stages: ${failures[*]}"
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
