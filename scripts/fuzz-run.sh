#!/usr/bin/env bash
# Runs one fuzz target for a bounded time and prints its executions and seconds.
#
#   scripts/fuzz-run.sh TARGET [seconds]
#     profile   the .cfg reader (tests/fuzz/corpus, profile.dict); default 25 s in the suite
#     program   the download thread's program-file path (tests/fuzz/program-corpus); 20 s
#
#   TOVRIN_FUZZ_BUILD  build directory of the fuzz preset (default: <repo>/build/fuzz); it is
#                      configured and built when needed.
# The seeds in tests/fuzz/corpus stay untouched: the run works on a copy. An input that crashes
# or breaks a rule is kept in <build>/fuzz-artifacts and the script fails.
set -euo pipefail

target=${1:?usage: fuzz-run.sh profile|program [seconds]}
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${TOVRIN_FUZZ_BUILD:-$repo/build/fuzz}
case "$target" in
profile) seconds=${2:-25} corpus=tests/fuzz/corpus options=(-dict=tests/fuzz/profile.dict) ;;
program) seconds=${2:-20} corpus=tests/fuzz/program-corpus options=(-max_len=4096) ;;
*) echo "unknown fuzz target: $target" >&2; exit 2 ;;
esac

cd "$repo"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake --preset fuzz -B "$build" >/dev/null
fi
cmake --build "$build" --target "${target}_fuzzer" >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/tovrin-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$build/fuzz-artifacts"
cp "$corpus"/* "$work/corpus/"

start=$(date +%s.%N)
status=0
"$build/bin/${target}_fuzzer" "$work/corpus" -max_total_time="$seconds" -print_final_stats=1 \
    "${options[@]}" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/fuzz-artifacts/" >"$work/fuzz.log" 2>&1 || status=$?
end=$(date +%s.%N)

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/fuzz.log" | tail -n 1)
if [ "$status" -ne 0 ]; then
    tail -n 60 "$work/fuzz.log" >&2
    echo "$target fuzzer failed (status $status); inputs kept in $build/fuzz-artifacts" >&2
    exit "$status"
fi
awk -v t="$target" -v n="${executions:-0}" -v s="$start" -v e="$end" \
    'BEGIN { printf "%s: executions: %s seconds: %.1f\n", t, n, e - s }'
