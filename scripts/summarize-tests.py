#!/usr/bin/env python3
"""Counts the tests that ran in each tier from the JUnit files of a test run."""
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
    for path in glob.glob(pattern):
        root = ET.parse(path).getroot()
        total += int(root.get("tests", 0)) - int(root.get("disabled", 0))
        failures += int(root.get("failures", 0)) + int(root.get("errors", 0))
        suites += 1
    return total, failures, suites


def main(root, fuzz_log):
    native = ctest_cases(f"{root}/build/native/junit.xml")
    unit = tally(native, "unit.")
    e2e = tally(native, "e2e.")
    win32_total, win32_failures, win32_suites = gtest_files(f"{root}/build/mingw-x64/test-results/win32.*.xml")
    print()
    print("== tests run per tier")
    print(f"unit  (native, sanitizers): {unit[0]} tests, {unit[1]} failed, {unit[2]} skipped")
    print(f"win32 (MinGW under Wine):   {win32_total} tests in {win32_suites} suites, {win32_failures} failed")
    print(f"e2e   (Tovrin.exe + simulator): {e2e[0]} tests, {e2e[1]} failed, {e2e[2]} skipped")
    fuzz = Path(fuzz_log).read_text(errors="replace") if fuzz_log and Path(fuzz_log).exists() else ""
    match = re.search(r"executions: (\d+) seconds: ([\d.]+)", fuzz)
    if match:
        print(f"fuzz  (libFuzzer, .cfg reader): {match.group(1)} executions in {match.group(2)} s")
    failed = unit[1] + win32_failures + e2e[1]
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else ""))
