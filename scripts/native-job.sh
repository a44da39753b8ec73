#!/usr/bin/env bash
# The same job natively on Linux, without Wine: builds tovrin and the controller simulator and
# runs a batch download of the shipped example (two steps) into the simulated controller on a
# pseudo-terminal. Prints the log and the exit status.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

./scripts/setup.sh --native
echo "== building tovrin and the simulator"
cmake --preset native-release >/dev/null
cmake --build --preset native-release --target tovrin tovrin-sim >/dev/null
bin=$ROOT/build/native-release/bin
work=$ROOT/build/native-job
rm -rf "$work"
mkdir -p "$work"
cp examples/* "$work/"

echo "== starting the simulated controller"
"$bin/tovrin-sim" --step "ack=197,program=$work/EXAMPLE1.B86" --step "ack=163,program=$work/EXAMPLE2.B86" \
    --link "$work/ttySIM0" --baud 115200 --summary "$work/device.txt" --idle-timeout 60 \
    >"$work/sim.out" 2>"$work/sim.err" &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -L "$work/ttySIM0" ] && break; sleep 0.05; done

echo "== tovrin Example.cfg -C $work/ttySIM0 -B 115200 -L run.log"
set +e
(cd "$work" && timeout 180 "$bin/tovrin" Example.cfg -C "$work/ttySIM0" -B 115200 -L run.log)
status=$?
set -e
wait $sim 2>/dev/null || true

source scripts/job-report.sh
job_report "$work" $status
exit $status
