#!/usr/bin/env bash
# The whole test suite on a fresh Debian 12 machine: set-up, the three builds, and every tier:
#   unit   native GoogleTest of the portable core (AddressSanitizer, UndefinedBehaviorSanitizer)
#   win32  GoogleTest built with MinGW, run under Wine: x86_64 under 64-bit Wine, i686 (the
#          reference target) under 32-bit Wine
#   e2e    Tovrin.exe of both builds under Wine against the controller simulator through a pty,
#          and the Linux tool tovrin natively against the simulator on ptys
#   fuzz   bounded libFuzzer runs of the .cfg reader and of the program-file path
# and builds the Debian package of the Linux tool and the Windows release archives, each archive
# then unpacked and run once under Wine.
# Prints how many tests ran in each tier and build; exits non-zero when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-2}
status=0

./scripts/setup.sh || exit 1
./scripts/build.sh native mingw-x64 mingw-i686 || exit 1

run_ctest() { # build-dir label...
    local dir=$1
    shift
    (cd "$dir" && ctest --output-on-failure -j "$JOBS" --output-junit "$dir/junit.xml" "$@") || status=1
}

echo "== tier 2: Win32 tests under Wine (x86_64)"
run_ctest "$ROOT/build/mingw-x64"
echo "== tier 2: Win32 tests under 32-bit Wine (i686)"
run_ctest "$ROOT/build/mingw-i686"
echo "== tiers 1 and 3: native unit tests and end-to-end runs"
run_ctest "$ROOT/build/native" -LE package

echo "== fuzz: bounded runs"
fuzz_log=$ROOT/build/fuzz-summary.txt
: >"$fuzz_log"
./scripts/fuzz-run.sh profile 25 | tee -a "$fuzz_log" || status=1
./scripts/fuzz-run.sh program 20 | tee -a "$fuzz_log" || status=1

echo "== package: the Debian package of the Linux tool and the Windows release archives"
# The packages' paths are the last three lines: the Debian package, win32, win64.
if contents=$(./scripts/package.sh) && for file in usr/bin/tovrin usr/bin/tovrin-sim usr/share/man/man1/tovrin.1; do
    grep -qx "./$file" <<<"$contents" || { echo "package: $file is missing"; false; }
done; then
    echo "package: $(tail -n 3 <<<"$contents" | head -n 1) holds tovrin, tovrin-sim and the manual page"
    while read -r archive; do
        echo "package: $archive, $(stat -c %s "$archive") bytes"
    done < <(tail -n 2 <<<"$contents")
else
    status=1
fi
# Each archive unpacked into a clean folder, and one batch download from there under Wine.
(cd "$ROOT/build/native" && ctest --output-on-failure -L package --output-junit "$ROOT/build/native/package-junit.xml") ||
    status=1

python3 scripts/summarize-tests.py "$ROOT" "$fuzz_log" || status=1
exit $status
