#!/usr/bin/env python3
"""The Debian package that scripts/package.sh builds: its files (the programs, the manual page,
the systemd units and their example settings, nothing in /etc), its units as systemd reads them
(systemd-analyze verify against the packaged program, where the machine has systemd-analyze),
and its postinst, which makes the services' user once. Exits 77 while the package is missing.

  deb_package_test.py --dir DIR --version VERSION --unit-dir DIR --source ROOT"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

UNITS = ["tovrin-station@.service", "tovrin-board.service"]
EXAMPLES = ["usr/share/doc/tovrin/examples/station-line1.conf", "usr/share/doc/tovrin/examples/board.conf"]
FILES = ["usr/bin/tovrin", "usr/bin/tovrin-sim", "usr/share/man/man1/tovrin.1"] + EXAMPLES
failures = []


def check(ok, text):
    if not ok:
        failures.append(text)
        print(f"FAIL: {text}")


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=120, **options)


def verify_units(root, units, work):
    """systemd-analyze verify on copies of the units whose ExecStart is the packaged program; any
    word about them is a failure. A copy with a key systemd does not know must draw one."""
    folder = work / "units"
    folder.mkdir()
    for unit in units:
        text = (units[unit]).replace("ExecStart=/usr/bin/", f"ExecStart={root}/usr/bin/")
        (folder / unit).write_text(text)
    (folder / "tovrin-probe.service").write_text(units["tovrin-board.service"].replace(
        "[Service]\n", "[Service]\nTovrinProbe=1\n").replace("ExecStart=/usr/bin/", f"ExecStart={root}/usr/bin/"))

    def verify(*names):
        result = run("systemd-analyze", "verify", "--man=no", *[str(folder / n) for n in names])
        said = [line for line in (result.stdout + result.stderr).splitlines() if "tovrin" in line]
        return result.returncode, said

    status, said = verify("tovrin-board.service", "tovrin-station@line1.service")
    check(status == 0 and not said, f"systemd-analyze verify: status {status}: {said}")
    status, said = verify("tovrin-probe.service")
    check(any("TovrinProbe" in line for line in said), f"systemd-analyze verify missed an unknown key: {said}")


def postinst_calls(postinst, work, user, group, action="configure"):
    """The commands postinst runs, with getent answering as told and adduser recording."""
    stubs = work / "stubs"
    stubs.mkdir(exist_ok=True)
    log = work / "calls"
    log.write_text("")
    for name in ("adduser", "systemctl"):
        (stubs / name).write_text(f'#!/bin/sh\necho "{name} $*" >> "{log}"\n')
    known = {"passwd": user, "group": group}
    (stubs / "getent").write_text("#!/bin/sh\ncase $1 in\n" + "".join(
        f'{db}) {"exit 0" if yes else "exit 2"} ;;\n' for db, yes in known.items()) + "esac\nexit 2\n")
    for stub in stubs.iterdir():
        stub.chmod(0o755)
    result = run("sh", str(postinst), action, env={**os.environ, "PATH": f"{stubs}:{os.environ['PATH']}"})
    check(result.returncode == 0, f"postinst {action}: status {result.returncode}: {result.stderr}")
    return [line for line in log.read_text().splitlines() if line.startswith("adduser")]


def main():
    parser = argparse.ArgumentParser()
    for option in ("--dir", "--version", "--unit-dir", "--source"):
        parser.add_argument(option, required=True)
    options = parser.parse_args()
    packages = sorted(Path(options.dir).glob(f"tovrin_{options.version}_*.deb"))
    if not packages:
        print(f"SKIP: no tovrin_{options.version}_*.deb in {options.dir} (scripts/package.sh builds it)")
        return 77
    deb = packages[-1]
    unit_dir = options.unit_dir.strip("/")
    listing = run("dpkg-deb", "--contents", str(deb)).stdout.splitlines()
    paths = {line.split()[-1].removeprefix("./") for line in listing}
    for path in FILES + [f"{unit_dir}/{unit}" for unit in UNITS]:
        check(path in paths, f"{deb.name} lacks {path}")
    check(not any(p.startswith("etc/") for p in paths), f"{deb.name} writes to /etc")
    depends = run("dpkg-deb", "--field", str(deb), "Depends").stdout
    check(re.search(r"(^|, )adduser\b", depends) is not None, f"Depends lacks adduser: {depends}")

    with tempfile.TemporaryDirectory() as temporary:
        work = Path(temporary)
        root, control = work / "root", work / "control"
        run("dpkg-deb", "--extract", str(deb), str(root)).check_returncode()
        run("dpkg-deb", "--control", str(deb), str(control)).check_returncode()
        units = {u: (root / unit_dir / u).read_text() for u in UNITS if (root / unit_dir / u).exists()}
        # The station's end on SIGTERM (128 + 15, cli/Commands.h) is a success to systemd.
        base = re.search(r"kExitSignalBase = (\d+);", (Path(options.source) / "cli/Commands.h").read_text())
        station = units.get("tovrin-station@.service", "")
        check(base and f"\nSuccessExitStatus={int(base.group(1)) + 15}\n" in station,
              "the station's unit does not take its exit on SIGTERM as a success")
        for unit, text in units.items():
            program = re.search(r"^ExecStart=/(\S+)", text, re.M)
            check(program and program.group(1) in paths, f"{unit}: ExecStart names no file of the package")
            check("\nRestart=on-failure\n" in text and "\nUser=tovrin\n" in text, f"{unit}: restart or user")
        if len(units) == len(UNITS) and shutil.which("systemd-analyze"):
            verify_units(root, units, work)
        else:
            print("SKIP: systemd-analyze verify (no systemd-analyze on this machine, or a unit is missing)")

        for mode in ("postinst", "prerm", "postrm"):
            check((control / mode).exists() and os.access(control / mode, os.X_OK), f"{mode} missing or not executable")
        postinst = control / "postinst"
        if postinst.exists():
            made = postinst_calls(postinst, work, user=False, group=False)
            check(len(made) == 1 and "--system" in made[0] and "--group" in made[0] and made[0].endswith(" tovrin"),
                  f"postinst on a new machine: {made}")
            made = postinst_calls(postinst, work, user=False, group=True)
            check(len(made) == 1 and "--ingroup tovrin" in made[0], f"postinst with the group there: {made}")
            check(postinst_calls(postinst, work, user=True, group=True) == [], "postinst made the user again")
            check(postinst_calls(postinst, work, False, False, "abort-upgrade") == [], "postinst abort-upgrade")
    print(f"{deb}: {len(paths)} entries checked" + (f", {len(failures)} failures" if failures else ", all good"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
