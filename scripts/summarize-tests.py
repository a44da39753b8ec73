#!/usr/bin/env python3
"""Counts the tests that ran in each tier, and for the Win32 and e2e tiers in each MinGW build,
from the JUnit files of a test run; exits 1 when anything failed or a tier did not run.

  summarize-tests.py ROOT [FUZZ_LOG] [--exec32 ANSWER]

ANSWER is what scripts/exec32.py said about this machine ("yes", the default, or "no: reason").
Only where it says no may the tiers that run i686 programs be left out; each is then told in one
line with the reason. Any other tier that did not run is a failure."""
import argparse
import glob
import re
import sys
import xml.etree.ElementTree as ET
from pathlib import Path


def ctest_cases(path):
    if not Path(path).exists():
        return []
    root = ET.parse(path).getroot()
    cases = []
    for case in root.iter("testcase"):
        status = case.get("status", "run")
        failed = case.find("failure") is not None or status == "fail"
        skipped = case.find("skipped") is not None or status in ("notrun", "disabled")
        cases.append((case.get("name", ""), failed, skipped))
    return cases


def tally(cases, prefix):
    selected = [c for c in cases if c[0].startswith(prefix)]
    run = [c for c in selected if not c[2]]
    return len(run), sum(1 for c in run if c[1]), sum(1 for c in selected if c[2])


def gtest_files(pattern):
    total = failures = suites = 0
    skipped = []
    for path in glob.glob(pattern):
        root = ET.parse(path).getroot()
        total += int(root.get("tests", 0)) - int(root.get("disabled", 0))
        failures += int(root.get("failures", 0)) + int(root.get("errors", 0))
        suites += 1
        for case in root.iter("testcase"):
            skip = case.find("skipped")
            if skip is not None or case.get("result") == "skipped":
                reason = (skip.get("message", "") if skip is not None else "").split("\n")[-1]
                skipped.append(f"{case.get('classname')}.{case.get('name')}: {reason}")
    return total, failures, suites, skipped


BUILDS = [("x86_64", "mingw-x64", "64-bit Wine", "win64"), ("i686", "mingw-i686", "32-bit Wine", "win32")]
# The ctest entries of a MinGW build that only read its files (label "static").
STATIC = re.compile(r"^win32\.(library|programs|resources)\.")


class Summary:
    def __init__(self, exec32):
        self.failed = 0
        self.i686_runs = exec32 == "yes"
        self.reason = exec32[len("no:"):].strip() if exec32.startswith("no:") else ""

    def line(self, text, failed=0):
        print(text)
        self.failed += failed

    def left_out(self, tier, build):
        """True (and told) when the tier's tests run i686 programs on a machine that cannot."""
        if build != "i686" or self.i686_runs:
            return False
        print(f"{tier}: not run: {self.reason}")
        return True

    def counted(self, text, ran, failed, skipped):
        """A tier's line; a tier that ran nothing has failed, and so has a skipped test."""
        self.line(f"{text}: {ran} tests, {failed} failed, {skipped} skipped" + ("" if ran else " (not run)"),
                  failed + skipped + (0 if ran else 1))


def win32_tiers(summary, root):
    for build, preset, wine, _ in BUILDS:
        entries = ctest_cases(f"{root}/build/{preset}/junit.xml")
        static = tally([c for c in entries if STATIC.match(c[0])], "win32.")
        summary.counted(f"win32 {build:6} checks that run nothing (machine, exports, resources)", *static)
        if summary.left_out(f"win32 {build}", build):
            continue
        total, failures, suites, skipped = gtest_files(f"{root}/build/{preset}/test-results/win32.*.xml")
        ran = tally([c for c in entries if not STATIC.match(c[0])], "win32.")
        summary.line(f"win32 {build:6} (MinGW under {wine}): {total} tests in {suites} suites, {failures} failed,"
                     f" {len(skipped)} skipped ({ran[1]} ctest entries failed)", failures + ran[1])
        for reason in skipped:
            print(f"      skipped {reason}")
        if suites == 0:
            summary.line(f"win32 {build:6}: no suite ran", 1)


def e2e_tiers(summary, native):
    for build, _, _, _ in BUILDS:
        if not summary.left_out(f"e2e {build}", build):
            summary.counted(f"e2e   {build:6} (Tovrin.exe + simulator)", *tally(native, f"e2e.{build}."))
    summary.counted("e2e   native (tovrin + simulator on ptys)", *tally(native, "e2e.native."))
    others = [c for c in native if not any(c[0].startswith(f"e2e.{b}.") for b in ("x86_64", "i686", "native"))]
    summary.counted("e2e   simulator alone", *tally(others, "e2e."))


def package_tiers(summary, root):
    # The packaging step builds the archives just before: a skipped check there is a failure.
    package = ctest_cases(f"{root}/build/native/package-junit.xml")
    for build, _, _, archive in BUILDS:
        summary.counted(f"package {archive} (release archive unpacked, its files checked)",
                        *tally(package, f"e2e.{build}.release-contents"))
        if not summary.left_out(f"package {archive} (one batch download)", build):
            summary.counted(f"package {archive} (release archive unpacked, one batch download)",
                            *tally(package, f"e2e.{build}.release-archive"))


def main(root, fuzz_log, exec32):
    summary = Summary(exec32)
    native = ctest_cases(f"{root}/build/native/junit.xml")
    print()
    print("== tests run per tier")
    print(f"32-bit programs on this machine: {exec32}")
    summary.counted("unit  (native, sanitizers)", *tally(native, "unit."))
    win32_tiers(summary, root)
    e2e_tiers(summary, native)
    package_tiers(summary, root)
    fuzz = Path(fuzz_log).read_text(errors="replace") if fuzz_log and Path(fuzz_log).exists() else ""
    for match in re.finditer(r"^(\S+): executions: (\d+) seconds: ([\d.]+)", fuzz, re.M):
        print(f"fuzz  (libFuzzer, {match.group(1)}): {match.group(2)} executions in {match.group(3)} s")
    return 1 if summary.failed else 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("fuzz_log", nargs="?", default="")
    parser.add_argument("--exec32", default="yes")
    options = parser.parse_args()
    if options.exec32 != "yes" and not options.exec32.startswith("no: "):
        parser.error(f"--exec32 is 'yes' or 'no: reason', not {options.exec32!r}")
    sys.exit(main(options.root, options.fuzz_log, options.exec32))
