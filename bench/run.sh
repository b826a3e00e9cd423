#!/usr/bin/env bash
# Benchmarks a backup against the line's own limit: builds dedizo, qtb-sim and
# dedizo.exe with the CMake presets, then has bench.py time a full backup of a
# qtb-sim paced at 9600 baud by dedizo, by dedizo.exe under Wine, and by a
# plain pyserial script done two ways, and print the figures side by side.
# About eight minutes, most of it the pyserial script's inter-byte time-out
# run. Arguments go to bench.py (e.g. --only native,gaploop).
# Results also land in build/bench/ (results.md, results.json, timing logs).
#
# The figures are for reading, not for passing: nothing here fails on them.
# Take them on a quiet machine; other load shows up as turnaround spikes.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/need-packages.sh"
need_packages cmake g++ make python3 python3-serial time \
    g++-mingw-w64-x86-64-posix wine wine64

cd "$top"
jobs=$(nproc)
cmake --preset default >/dev/null
cmake --build --preset default -j"$jobs" --target dedizo qtb-sim >/dev/null
if cmake --preset windows >/dev/null && cmake --build --preset windows -j"$jobs" --target dedizo >/dev/null; then
    :
else
    echo "bench: the Windows build failed; dedizo.exe is left out" >&2
fi

# Debian's interpreter, where python3-serial is installed (a python3 earlier
# on PATH may be another one).
exec /usr/bin/python3 "$top/bench/bench.py" --build "$top/build" \
    --build-windows "$top/build-windows" "$@"
