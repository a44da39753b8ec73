#!/usr/bin/env bash
# Tovrin's main job without hardware: sets the machine up, builds Tovrin.exe and the controller
# simulator, and runs a batch download of the shipped example (two steps) under Wine, its COM
# port wired to the simulator through a pseudo-terminal. Prints the log and the exit status.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

./scripts/setup.sh
echo "== building the simulator and Tovrin.exe"
cmake --preset native >/dev/null
cmake --build --preset native --target tovrin-sim tovrin_ptyshim >/dev/null
cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64 --target Tovrin Tovrin1 >/dev/null

export TOVRIN_WINE_DIR=$ROOT/build/main-job/wine
source tests/support/wine-env.sh
wine_start
work=$ROOT/build/main-job/run
rm -rf "$work"
mkdir -p "$work"
cp examples/* "$work/"

echo "== starting the simulated controller on COM2"
"$ROOT/build/native/bin/tovrin-sim" \
    --step "ack=197,program=$work/EXAMPLE1.B86" --step "ack=163,program=$work/EXAMPLE2.B86" \
    --link "$WINEPREFIX/dosdevices/com2" --record "$work/received.bin" --summary "$work/device.txt" \
    --idle-timeout 60 >"$work/sim.out" 2>"$work/sim.err" &
sim=$!
trap 'kill $sim 2>/dev/null || true; wine_stop' EXIT
for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.05; done

# The x86_64 build, on every machine: the i686 one runs only where 32-bit programs can run.
echo "== Tovrin.exe: the x86_64 build (build/mingw-x64/bin/Tovrin.exe) under 64-bit Wine"
echo "== Tovrin Example.cfg -C2 -B115200 -X -L run.log"
set +e
(cd "$work" && LANG=en_US.UTF-8 LD_PRELOAD="$ROOT/build/native/tests/support/libtovrin_ptyshim.so" \
    timeout 180 "$WINE" "$ROOT/build/mingw-x64/bin/Tovrin.exe" "Z:${work//\//\\}\\Example.cfg" \
    -C2 -B115200 -X -L run.log)
status=$?
set -e
wait $sim 2>/dev/null || true

source scripts/job-report.sh
job_report "$work" $status
exit $status
