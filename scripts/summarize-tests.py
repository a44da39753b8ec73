#!/usr/bin/env python3
"""Counts the tests that ran in each tier, and for the Win32 and e2e tiers in each MinGW build,
from the JUnit files of a test run."""
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


BUILDS = [("x86_64", "mingw-x64", "64-bit Wine"), ("i686", "mingw-i686", "32-bit Wine")]


def main(root, fuzz_log):
    native = ctest_cases(f"{root}/build/native/junit.xml")
    unit = tally(native, "unit.")
    print()
    print("== tests run per tier")
    print(f"unit  (native, sanitizers): {unit[0]} tests, {unit[1]} failed, {unit[2]} skipped")
    failed = unit[1]
    for build, preset, wine in BUILDS:
        total, failures, suites, skipped = gtest_files(f"{root}/build/{preset}/test-results/win32.*.xml")
        ran = tally(ctest_cases(f"{root}/build/{preset}/junit.xml"), "win32.")
        print(f"win32 {build:6} (MinGW under {wine}): {total} tests in {suites} suites, {failures} failed,"
              f" {len(skipped)} skipped ({ran[1]} ctest entries failed)")
        for reason in skipped:
            print(f"      skipped {reason}")
        failed += failures + ran[1]
        if suites == 0:
            print(f"win32 {build:6}: no suite ran")
            failed += 1
    for build, _, _ in BUILDS:
        e2e = tally(native, f"e2e.{build}.")
        print(f"e2e   {build:6} (Tovrin.exe + simulator): {e2e[0]} tests, {e2e[1]} failed, {e2e[2]} skipped")
        failed += e2e[1]
    tool = tally(native, "e2e.native.")
    print(f"e2e   native (tovrin + simulator on ptys): {tool[0]} tests, {tool[1]} failed, {tool[2]} skipped")
    failed += tool[1]
    other = tally([c for c in native if not any(c[0].startswith(f"e2e.{b}.") for b in ("x86_64", "i686", "native"))],
                  "e2e.")
    print(f"e2e   simulator alone: {other[0]} tests, {other[1]} failed, {other[2]} skipped")
    failed += other[1]
    # The packaging step builds the archives just before: a skipped check there is a failure.
    package = tally([c for c in ctest_cases(f"{root}/build/native/package-junit.xml") if "release-archive" in c[0]],
                    "e2e.")
    print(f"package (release archives unpacked, one batch download each): {package[0]} tests,"
          f" {package[1]} failed, {package[2]} skipped")
    failed += package[1] + package[2] + (0 if package[0] else 1)
    fuzz = Path(fuzz_log).read_text(errors="replace") if fuzz_log and Path(fuzz_log).exists() else ""
    for match in re.finditer(r"^(\S+): executions: (\d+) seconds: ([\d.]+)", fuzz, re.M):
        print(f"fuzz  (libFuzzer, {match.group(1)}): {match.group(2)} executions in {match.group(3)} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else ""))
