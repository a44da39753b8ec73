#!/usr/bin/env python3
"""The suite's summary (scripts/summarize-tests.py) against the JUnit files of made-up runs: the
i686 tiers may be left out only where the machine cannot execute 32-bit programs, and every
other tier that did not run is a failure."""
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
NO = "no: this machine cannot execute 32-bit programs (Exec format error)"

# Every tier of a whole run, by the JUnit file that records it.
WHOLE_RUN = {
    "native": ["unit.Cli.Parses", "e2e.sim.pty", "e2e.native.completes", "e2e.x86_64.completes_two_steps",
               "e2e.i686.completes_two_steps"],
    "mingw-x64": ["win32.library.no-exports", "win32.programs.machine", "win32.Startup"],
    "mingw-i686": ["win32.library.no-exports", "win32.programs.machine", "win32.resources.Tovrin.exe",
                   "win32.Startup"],
    "package": ["e2e.x86_64.release-contents", "e2e.x86_64.release-archive", "e2e.i686.release-contents",
                "e2e.i686.release-archive"],
}
WIN32_SUITES = {"mingw-x64": ["Startup"], "mingw-i686": ["Startup"]}
# What a machine that cannot execute 32-bit programs runs: the i686 build's runtime left out.
I686_RUNTIME = {"e2e.i686.completes_two_steps", "win32.Startup@mingw-i686", "e2e.i686.release-archive",
                "suite:mingw-i686"}


def ctest_junit(names, failed=()):
    cases = "".join(f'<testcase name="{n}" status="{"fail" if n in failed else "run"}"/>' for n in names)
    return f'<?xml version="1.0"?><testsuite tests="{len(names)}">{cases}</testsuite>'


def write_run(root, left_out=(), failed=()):
    build = root / "build"
    for where, names in WHOLE_RUN.items():
        names = [n for n in names if n not in left_out and f"{n}@{where}" not in left_out]
        folder = build / ("native" if where == "package" else where)
        folder.mkdir(parents=True, exist_ok=True)
        junit = "package-junit.xml" if where == "package" else "junit.xml"
        (folder / junit).write_text(ctest_junit(names, failed))
    for preset, suites in WIN32_SUITES.items():
        if f"suite:{preset}" in left_out:
            continue
        results = build / preset / "test-results"
        results.mkdir(parents=True, exist_ok=True)
        for suite in suites:
            (results / f"win32.{suite}.xml").write_text(
                f'<testsuites tests="3" failures="0" errors="0" disabled="0"><testsuite name="{suite}">'
                f'<testcase classname="{suite}" name="Boxes"/></testsuite></testsuites>')


class Summary(unittest.TestCase):
    def summarize(self, exec32, left_out=(), failed=()):
        with tempfile.TemporaryDirectory() as root:
            write_run(Path(root), set(left_out), set(failed))
            result = subprocess.run([sys.executable, str(REPO / "scripts" / "summarize-tests.py"), root,
                                     "--exec32", exec32], capture_output=True, text=True, timeout=60)
        return result.returncode, result.stdout

    def test_which_runs_pass(self):
        cases = [
            ("a whole run", "yes", (), (), 0),
            ("the i686 runtime left out where 32-bit programs cannot run", NO, I686_RUNTIME, (), 0),
            ("the i686 runtime left out where 32-bit programs run", "yes", I686_RUNTIME, (), 1),
            ("i686 e2e alone left out where they run", "yes", {"e2e.i686.completes_two_steps"}, (), 1),
            ("the x86_64 Win32 suites missing", NO, I686_RUNTIME | {"suite:mingw-x64", "win32.Startup@mingw-x64"},
             (), 1),
            ("the x86_64 e2e tier missing", NO, I686_RUNTIME | {"e2e.x86_64.completes_two_steps"}, (), 1),
            ("the native e2e tier missing", NO, I686_RUNTIME | {"e2e.native.completes"}, (), 1),
            ("the i686 checks that run nothing missing", NO,
             I686_RUNTIME | {"win32.programs.machine@mingw-i686", "win32.library.no-exports@mingw-i686",
                             "win32.resources.Tovrin.exe"}, (), 1),
            ("the win32 archive's contents unchecked", NO, I686_RUNTIME | {"e2e.i686.release-contents"}, (), 1),
            ("an x86_64 test failed", NO, I686_RUNTIME, {"e2e.x86_64.completes_two_steps"}, 1),
        ]
        for name, exec32, left_out, failed, status in cases:
            with self.subTest(name):
                code, out = self.summarize(exec32, left_out, failed)
                self.assertEqual(code, status, out)

    def test_each_tier_left_out_is_told_with_the_reason(self):
        code, out = self.summarize(NO, I686_RUNTIME)
        self.assertEqual(code, 0, out)
        reason = NO[len("no: "):]
        for tier in ("win32 i686", "e2e i686", "package win32 (one batch download)"):
            self.assertIn(f"\n{tier}: not run: {reason}\n", out)
        self.assertEqual(out.count("not run:"), 3, out)


if __name__ == "__main__":
    unittest.main()
