#!/usr/bin/env bash
# The harness itself: the serial probe (of one MinGW build) under Wine opens \\.\COM12, a
# symlink to the simulator's pty, with the pty shim preloaded, and loads one step: wake-up
# zeros, boot image, program file. The simulator's record must hold exactly those bytes.
#
#   serialprobe.sh SIMULATOR PTYSHIM MKEXAMPLE [MINGW_BUILD]
# PTYSHIM may hold $LIB (one path for 64-bit and 32-bit processes). The environment variable
# that TOVRIN_MINGW_ENV names (TOVRIN_MINGW_X64_DIR by default) overrides the build's directory.
set -euo pipefail
sim=$1 shim=$2 mkexample=$3
repo=$(cd "$(dirname "$0")/../.." && pwd)
override_name=${TOVRIN_MINGW_ENV:-TOVRIN_MINGW_X64_DIR}
probe=${!override_name:-${4:-$repo/build/mingw-x64}}/bin/tovrin_serialprobe.exe
if [ ! -f "$probe" ]; then
    echo "SKIP: $probe is not built (build the MinGW preset, or point $override_name at its build)"
    exit 77
fi

source "$repo/tests/support/wine-env.sh"
wine_start
work=$(mktemp -d "$TOVRIN_WINE_DIR/serialprobe.XXXXXX")
link=$WINEPREFIX/dosdevices/com12
sim_pid=""
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    for f in probe.out sim.err summary; do
        [ -f "$work/$f" ] && { echo "--- $f"; cat "$work/$f"; } >&2
    done
    exit 1
}

boot_size=700
"$mkexample" --bin "$work/boot.bin" --size $boot_size --seed 7
"$mkexample" --b86 "$work/program.b86" --size 3000 --seed 8

# The device answers only the second zero: the probe must retry once.
"$sim" --step "ack=0xC5,zeros=2,program=$work/program.b86" --link "$link" \
    --record "$work/record" --summary "$work/summary" --idle-timeout 60 --linger 5 \
    >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do
    [ -s "$work/sim.out" ] && break
    sleep 0.05
done
[ "$(readlink "$link")" = "$(head -n 1 "$work/sim.out")" ] || fail "COM12 does not point to the simulator's pty"

set +e
LD_PRELOAD=$shim timeout 60 "$(wine_loader_for "$probe")" "$probe" '\\.\COM12' 0xC5 "Z:$work/boot.bin" "Z:$work/program.b86" \
    >"$work/probe.out" 2>&1
probe_status=$?
set -e
[ $probe_status -eq 0 ] || fail "probe exited with $probe_status"

# The simulator ends by itself once the step is done and the probe has closed the port.
for _ in $(seq 200); do
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.05
done
kill -0 "$sim_pid" 2>/dev/null && fail "the simulator did not end after the step"
set +e
wait "$sim_pid"
sim_status=$?
set -e
sim_pid=""
[ $sim_status -eq 0 ] || fail "simulator exited with $sim_status"
grep -qx 'end=complete' "$work/summary" || fail "simulator did not complete the step"
grep -qx 'step1.zeros=2' "$work/summary" || fail "the device did not see exactly two wake-up zeros"

{
    head -c 2 /dev/zero
    cat "$work/boot.bin"
    head -c $((960 - boot_size)) /dev/zero | tr '\0' '\377'
    cat "$work/program.b86"
} >"$work/expected"
cmp "$work/expected" "$work/record" || fail "the device received other bytes than the probe sent"
echo "serial probe: $(tr '\n' ' ' <"$work/probe.out")"
