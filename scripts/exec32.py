#!/usr/bin/env python3
"""Whether this machine executes 32-bit programs, asked once by the test command:

  scripts/exec32.py [PROBE]

runs PROBE (default: the native build's tests/support/exec32-probe, a tiny i386 program) and
prints one line: "yes", or "no: this machine cannot execute 32-bit programs (Exec format error)"
when the kernel refuses to execute it. Some of our machines cannot, though 32-bit Wine is
installed; the i686 build's programs cannot run there.

Anything else (the probe missing, a probe that fails) says nothing about the machine: it is an
error, exit status 2."""
import errno
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
DEFAULT_PROBE = REPO / "build" / "native" / "tests" / "support" / "exec32-probe"


def answer(probe):
    """(True, "yes") or (False, "no: ..."); raises OSError or CalledProcessError otherwise."""
    try:
        subprocess.run([str(probe)], check=True, timeout=30)
    except OSError as failure:
        if failure.errno != errno.ENOEXEC:
            raise
        return False, f"no: this machine cannot execute 32-bit programs ({failure.strerror})"
    return True, "yes"


def main(argv):
    probe = Path(argv[1]) if len(argv) > 1 else DEFAULT_PROBE
    try:
        print(answer(probe)[1])
    except (OSError, subprocess.SubprocessError) as failure:
        print(f"exec32: cannot tell whether 32-bit programs run: {probe}: {failure}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
