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
#
# Some machines cannot execute 32-bit programs at all ("Exec format error", also for 32-bit
# Wine). The suite asks once (scripts/exec32.py); where they cannot run, the i686 build is still
# built and its files checked (label "static": machine type, exports, resources, the win32
# release archive's contents), its runtime tiers are left out and the summary says so, one line
# each with the reason. Nothing else is ever left out.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-2}
status=0

./scripts/setup.sh || exit 1
./scripts/build.sh native mingw-x64 mingw-i686 || exit 1

# Whether 32-bit programs run here, once for every tier (wine-env.sh reads it too).
TOVRIN_EXEC32=$(python3 scripts/exec32.py "$ROOT/build/native/tests/support/exec32-probe") || exit 1
export TOVRIN_EXEC32
echo "== 32-bit programs on this machine: $TOVRIN_EXEC32"
if [ "$TOVRIN_EXEC32" = yes ]; then
    i686_win32=() native=(-LE package) package=(-L package)
else
    i686_win32=(-L static) native=(-LE 'package|exec32') package=(-L package -LE exec32)
fi

run_ctest() { # build-dir ctest-option...
    local dir=$1
    shift
    (cd "$dir" && ctest --output-on-failure -j "$JOBS" --output-junit "$dir/junit.xml" "$@") || status=1
}

# Results of an earlier run must not be counted as this run's.
rm -rf "$ROOT"/build/mingw-*/test-results "$ROOT"/build/*/junit.xml "$ROOT/build/native/package-junit.xml"

echo "== tier 2: Win32 tests under Wine (x86_64)"
run_ctest "$ROOT/build/mingw-x64"
echo "== tier 2: Win32 tests under 32-bit Wine (i686)${i686_win32:+, only the checks that run nothing}"
run_ctest "$ROOT/build/mingw-i686" "${i686_win32[@]}"
echo "== tiers 1 and 3: native unit tests and end-to-end runs"
run_ctest "$ROOT/build/native" "${native[@]}"

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
(cd "$ROOT/build/native" && ctest --output-on-failure "${package[@]}" \
    --output-junit "$ROOT/build/native/package-junit.xml") || status=1

python3 scripts/summarize-tests.py "$ROOT" "$fuzz_log" --exec32 "$TOVRIN_EXEC32" || status=1
exit $status
