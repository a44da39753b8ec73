#!/usr/bin/env bash
# Runs the profile fuzzer for a bounded time and prints its executions and seconds.
#
#   scripts/fuzz-profile.sh [seconds]     default 25: the bounded run of the test suite
#
#   TOVRIN_FUZZ_BUILD  build directory of the fuzz preset (default: <repo>/build/fuzz); it is
#                      configured and built when needed.
# The seeds in tests/fuzz/corpus stay untouched: the run works on a copy. An input that crashes
# or breaks a rule is kept in <build>/fuzz-artifacts and the script fails.
set -euo pipefail

seconds=${1:-25}
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${TOVRIN_FUZZ_BUILD:-$repo/build/fuzz}

cd "$repo"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake --preset fuzz -B "$build" >/dev/null
fi
cmake --build "$build" --target profile_fuzzer >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/tovrin-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$build/fuzz-artifacts"
cp tests/fuzz/corpus/* "$work/corpus/"

start=$(date +%s.%N)
status=0
"$build/bin/profile_fuzzer" "$work/corpus" -max_total_time="$seconds" -print_final_stats=1 \
    -dict=tests/fuzz/profile.dict -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/fuzz-artifacts/" >"$work/fuzz.log" 2>&1 || status=$?
end=$(date +%s.%N)

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/fuzz.log" | tail -n 1)
if [ "$status" -ne 0 ]; then
    tail -n 60 "$work/fuzz.log" >&2
    echo "profile fuzzer failed (status $status); inputs kept in $build/fuzz-artifacts" >&2
    exit "$status"
fi
awk -v n="${executions:-0}" -v s="$start" -v e="$end" 'BEGIN { printf "executions: %s seconds: %.1f\n", n, e - s }'
