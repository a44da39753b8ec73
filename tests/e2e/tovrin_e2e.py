#!/usr/bin/env python3
"""End-to-end runs of Tovrin.exe under Wine, its COM port a pty with the controller simulator
on the other end and the pty shim preloaded. One scenario per call:

  tovrin_e2e.py SCENARIO --sim SIM --shim SHIM --mkexample MKEXAMPLE --mingw MINGW_BUILD_DIR

The MinGW build is either one, x86_64 or i686 (its programs run under 32-bit Wine); SHIM may
hold $LIB, so that one preload path serves 64-bit and 32-bit processes. The environment
variable that TOVRIN_MINGW_ENV names (default TOVRIN_MINGW_X64_DIR) overrides MINGW_BUILD_DIR.
Exits 0 when the scenario holds, 1 when it does not, 77 when the MinGW build is missing.

  tovrin_e2e.py archive --archive Tovrin-<version>-win32.zip --sim SIM --shim SHIM --mkexample MKEXAMPLE
  tovrin_e2e.py archive-contents --archive Tovrin-<version>-win32.zip

check a Windows release archive (scripts/package.sh), unpacked into a clean folder: its files
(the programs for the build's machine, without symbols or debug sections; the README; the
example), and with "archive" one batch download of its example from there. "archive-contents"
runs nothing, so it is checked also where the build's programs cannot run. Neither is one of the
listed scenarios: the packaging step of the suite runs them.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "support"))
from pe_file import MACHINES, PeFile  # noqa: E402
SETTINGS_KEY = r"HKLM\Software\Korvane\Quillon\2.0\Applications\qoltenix\Tovrin\Configuration"
HOST_KEY = r"HKLM\SOFTWARE\Korvane\VANTORA"
RUN_LIMIT_S = 120


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Wine:
    """The shared prefix of the run (started by wine-env.sh) and how to run programs in it."""

    def __init__(self, shim):
        script = f'source "{REPO}/tests/support/wine-env.sh" && wine_start >&2 && ' \
                 'printf "%s\\n%s\\n%s\\n" "$WINE" "$WINEPREFIX" "$DISPLAY"'
        out = subprocess.run(["bash", "-c", script], check=True, capture_output=True, text=True).stdout.split("\n")
        self.wine, self.prefix, self.display = out[0], Path(out[1]), out[2]
        self.shim = shim

    def loader(self, exe):
        """The loader of the program's word size: the 32-bit one for an i686 program (the 64-bit
        loader hands it on through start.exe, which fails on paths longer than 260 characters)."""
        loader32 = Path(self.wine).with_name("wine")
        if PeFile(exe).machine == MACHINES["i686"] and loader32.exists():
            return str(loader32)
        return self.wine

    def env(self, lang):
        env = dict(os.environ)
        env.update(WINEPREFIX=str(self.prefix), DISPLAY=self.display, WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=", LD_PRELOAD=self.shim, LANG=lang, LC_ALL="")
        return env

    def reg(self, *args, view="32"):
        """`reg` in one registry view: the program's keys live in the 32-bit one in every build."""
        subprocess.run([self.wine, "reg", *args, f"/reg:{view}"], env=self.env("en_US.UTF-8"), capture_output=True,
                       timeout=60)

    def reg_has(self, key, value, view):
        result = subprocess.run([self.wine, "reg", "query", key, "/v", value, f"/reg:{view}"],
                                env=self.env("en_US.UTF-8"), capture_output=True, timeout=60)
        return result.returncode == 0

    def port_link(self, number):
        return self.prefix / "dosdevices" / f"com{number}"

    def run_tovrin(self, exe, args, cwd, lang="en_US.UTF-8"):
        started = time.monotonic()
        try:
            result = subprocess.run([self.loader(exe), str(exe), *args], cwd=cwd, env=self.env(lang),
                                    capture_output=True, timeout=RUN_LIMIT_S)
        except subprocess.TimeoutExpired:
            raise Failure(f"Tovrin.exe {' '.join(args)} did not end within {RUN_LIMIT_S} s")
        return result.returncode, time.monotonic() - started


class Simulator:
    """tovrin-sim on a pty linked as a COM port of the prefix."""

    def __init__(self, sim, link, work, *options):
        self.record, self.summary_file = work / "record", work / "summary"
        self.process = subprocess.Popen(
            [sim, *options, "--link", str(link), "--record", str(self.record), "--summary", str(self.summary_file),
             "--idle-timeout", "90"], stdout=subprocess.PIPE, stderr=open(work / "sim.err", "wb"), text=True)
        self.pty = self.process.stdout.readline().strip()
        check(self.pty.startswith("/dev/pts/"), f"simulator did not start: {self.pty!r}")
        for _ in range(100):
            if os.path.islink(link) and os.readlink(link) == self.pty:
                break
            time.sleep(0.02)

    def finish(self, limit=10):
        try:
            self.process.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            self.process.terminate()
            self.process.wait(timeout=10)
        summary = {}
        if self.summary_file.exists():
            for line in self.summary_file.read_text().splitlines():
                key, _, value = line.partition("=")
                summary[key] = value
        return summary

    def received(self):
        return self.record.read_bytes() if self.record.exists() else b""


class Scenario:
    def __init__(self, options):
        self.sim, self.mkexample = str(Path(options.sim).resolve()), options.mkexample
        self.exe = (Path(options.mingw) / "bin" / "Tovrin.exe").resolve()
        self.wine = Wine(os.path.abspath(options.shim))
        self.work = Path(tempfile.mkdtemp(prefix="e2e.", dir=os.environ.get("TOVRIN_WINE_DIR", "/tmp")))
        self.top = self.work  # removed at the end, whatever folder the scenario works in
        for name in os.listdir(REPO / "examples"):
            shutil.copy(REPO / "examples" / name, self.work / name)
        self.cfg = "Z:" + str(self.work / "Example.cfg").replace("/", "\\")
        self.log = self.work / "run.log"
        for view in ("32", "64"):
            self.wine.reg("delete", SETTINGS_KEY, "/f", view=view)
            self.wine.reg("delete", HOST_KEY, "/f", view=view)
        for number in (1, 2, 9, 12):
            link = self.wine.port_link(number)
            if link.is_symlink():
                link.unlink()

    def close(self):
        for view in ("32", "64"):
            self.wine.reg("delete", SETTINGS_KEY, "/f", view=view)
        shutil.rmtree(self.top, ignore_errors=True)

    def simulator(self, port, *options):
        return Simulator(self.sim, self.wine.port_link(port), self.work, *options)

    def example_steps(self):
        return ["--step", "ack=197,program=" + str(self.work / "EXAMPLE1.B86"),
                "--step", "ack=163,program=" + str(self.work / "EXAMPLE2.B86")]

    def tovrin(self, *args, lang="en_US.UTF-8"):
        return self.wine.run_tovrin(self.exe, list(args), self.work, lang)

    def log_lines(self):
        check(self.log.exists(), "no log file was written")
        data = self.log.read_bytes()
        check(b"\n" not in data.replace(b"\r\n", b""), "a line end is not CR LF")
        return data.decode("cp1252").split("\r\n")

    def expected_wire(self, steps):
        """The bytes a device must receive for the example: per step the zeros it needed, the
        boot file padded with 0xFF to 960 bytes, and the program file."""
        data = b""
        for zeros, boot, program in steps:
            image = (self.work / boot).read_bytes()
            data += b"\0" * zeros + image + b"\xff" * (960 - len(image)) + (self.work / program).read_bytes()
        return data


HEADER = re.compile(r"^Tovrin (.*) (\S+ \* \S+( [AP]M)?)$")


def expect_header(lines, cfg):
    match = HEADER.match(lines[0])
    check(match is not None, f"header line: {lines[0]!r}")
    check(match.group(1) == cfg, f"header names {match.group(1)!r}, not {cfg!r}")
    check(lines[1] == "", "the header is not followed by an empty line")


def completes_two_steps(s):
    sim = s.simulator(2, *s.example_steps())
    code, _ = s.tovrin(s.cfg, "-C2", "-B115200", "-X", "-L", "run.log")
    summary = sim.finish()
    check(summary.get("end") == "complete", f"device did not complete: {summary}")
    check(sim.received() == s.expected_wire([(1, "EXAMPLE1.BIN", "EXAMPLE1.B86"), (1, "EXAMPLE2.BIN", "EXAMPLE2.B86")]),
          "the device did not receive exactly the zeros, the padded boot images and the blocks")
    lines = s.log_lines()
    expect_header(lines, s.cfg)
    step = ["*** Connecting to device", "*** Transmitting 0-Byte (1)", "*** Connected to device"]
    expected = ["*** Start Download",
                *step, "*** Binaryfile EXAMPLE1.BIN transmitted.", "*** Transmitting programfile EXAMPLE1.B86",
                "*** Download completed",
                *step, "*** Binaryfile EXAMPLE2.BIN transmitted.", "*** Transmitting programfile EXAMPLE2.B86",
                "*** Download completed", "*** Download finally completed", "", ""]
    check(lines[2:] == expected, f"log lines: {lines[2:]}")
    check(code == 0, f"exit status {code}")


def silent_device_gives_up(s):
    # Written only to the 32-bit view, where the settings of a 32-bit Tovrin live on 64-bit
    # Windows: both builds read it there.
    s.wine.reg("add", SETTINGS_KEY, "/v", "MaxConnectRetries", "/t", "REG_DWORD", "/d", "3", "/f", view="32")
    check(not s.wine.reg_has(SETTINGS_KEY, "MaxConnectRetries", "64"), "the value is in the 64-bit view too")
    sim = s.simulator(2, "--silent", *s.example_steps())
    code, _ = s.tovrin(s.cfg, "-C2", "-B115200", "-X", "-L", "run.log")
    sim.finish(limit=1)
    check(sim.received() == b"\0\0\0", f"the device received {sim.received()!r}, not three zeros")
    lines = s.log_lines()
    check(lines[-4:] == ["*** Transmitting 0-Byte (4)", "*** No Ack received (Timeout)", "", ""],
          f"log ends with {lines[-4:]}")
    check(code == 1, f"exit status {code}")


def missing_bin_opens_no_port(s):
    (s.work / "EXAMPLE2.BIN").unlink()
    sim = s.simulator(2, *s.example_steps())
    code, _ = s.tovrin(s.cfg, "-C2", "-B115200", "-X", "-L", "run.log")
    summary = sim.finish(limit=1)
    lines = s.log_lines()
    check(lines[-2:] == ["Cannot start current configuration, due to missing files.", ""], f"log: {lines}")
    check(summary.get("host_closes") == "0" and sim.received() == b"", f"the port was opened: {summary}")
    check(code == 1, f"exit status {code}")


def device_as_step_file(s, key, device):
    """A step file that names a device opens like a file, but NUL reads as empty and a COM port
    without end: the configuration cannot start (199), no port is opened and nothing is sent.
    COM1 is a pty here that never sends anything, so a read of it would never return."""
    master, slave = os.openpty()
    com1 = s.wine.port_link(1)
    if com1.is_symlink() or com1.exists():
        com1.unlink()
    com1.symlink_to(os.ttyname(slave))
    try:
        cfg = (s.work / "Example.cfg").read_text().replace(f"{key}=EXAMPLE2.{'BIN' if key == 'BootFile' else 'B86'}",
                                                          f"{key}={device}")
        check(f"{key}={device}" in cfg, "the configuration was not changed")
        (s.work / "Device.cfg").write_text(cfg.replace("\n", "\r\n"))
        sim = s.simulator(2, *s.example_steps())
        code, seconds = s.tovrin(s.cfg.replace("Example.cfg", "Device.cfg"), "-C2", "-B115200", "-X", "-L",
                                 "run.log")
        summary = sim.finish(limit=1)
    finally:
        com1.unlink()
        os.close(slave)
        os.close(master)
    lines = s.log_lines()
    check(lines[-2:] == ["Cannot start current configuration, due to missing files.", ""], f"log: {lines}")
    check(summary.get("host_closes") == "0" and sim.received() == b"", f"the port was opened: {summary}")
    check(code == 1, f"exit status {code}")
    check(seconds < 30, f"took {seconds:.1f} s")


def boot_file_nul_cannot_start(s):
    device_as_step_file(s, "BootFile", "NUL")


def boot_file_com1_cannot_start(s):
    device_as_step_file(s, "BootFile", "COM1")


def firmware_com1_cannot_start(s):
    device_as_step_file(s, "Firmware", "COM1")


def default_log_beside_a_deep_program(s):
    """A program whose path is longer than 260 characters writes its default log beside itself,
    never a file named .LOG in the current folder."""
    deep = s.work.joinpath(*[f"folder{n:02d}_abcdefghij" for n in range(1, 17)])
    deep.mkdir(parents=True)
    shutil.copy(s.exe, deep / "Tovrin.exe")
    check(len("Z:" + str(deep / "Tovrin.exe")) > 260, "the program's path is not long enough")
    code, _ = s.wine.run_tovrin(deep / "Tovrin.exe", ["-X", "-B9601"], s.work)
    check(not (s.work / ".LOG").exists(), "a log named .LOG was written in the current folder")
    log = deep / "Tovrin.LOG"
    check(log.exists(), "no log beside the program")
    check("Unzulässige Baudrate: 9601\r\n".encode("cp1252") in log.read_bytes(), f"log: {log.read_bytes()!r}")
    check(code == 1, f"exit status {code}")


def unopenable_port_is_reported(s):
    code, _ = s.tovrin(s.cfg, "-C9", "-B115200", "-X", "-L", "run.log")
    lines = s.log_lines()
    check(lines[-2:] == ["Failed to open COM port COM9.", ""], f"log: {lines}")
    check(code == 1, f"exit status {code}")


def configuration_named_nowhere(s):
    code, _ = s.tovrin("nowhere.cfg", "-C2", "-B115200", "-X", "-L", "run.log")
    lines = s.log_lines()
    expect_header(lines, "")
    # Start-up texts come from the built-in (German) catalogue, whatever the language.
    check(lines[2] == "Die in der Kommandozeile angegebene Datei nowhere.cfg existiert nicht.", f"log: {lines}")
    check(lines[3:] == ["No configuration file selected!", ""], f"log: {lines}")
    check(code == 1, f"exit status {code}")


def append_adds_a_record(s):
    for _ in range(2):
        sim = s.simulator(2, *s.example_steps())
        code, _ = s.tovrin(s.cfg, "-C2", "-B115200", "-X", "-L", "run.log", "-A")
        sim.finish()
        check(code == 0, f"exit status {code}")
    data = s.log.read_bytes()
    second = data.find(b"Tovrin ", 1)
    record_end = b"*** Download finally completed\r\n\r\n"
    check(data.startswith(b"Tovrin ") and second > 0, "not two records")
    check(data[:second].endswith(record_end + b"\r\n\r\n"), "the records are not separated by CR LF CR LF")
    check(data.endswith(record_end), "second record")


def dry_run_sends_nothing(s):
    sim = s.simulator(2, *s.example_steps())
    code, _ = s.tovrin(s.cfg, "-C2", "-B115200", "-X", "-L", "run.log", "-wqTZ")
    summary = sim.finish(limit=3)
    lines = s.log_lines()
    check(lines[2:] == ["*** Start Download", "*** Download finally completed", "", ""], f"log: {lines}")
    check(sim.received() == b"", f"the device received {len(sim.received())} bytes")
    check(summary.get("host_closes") == "1", f"the port was not opened and closed once: {summary}")
    check(code == 0, f"exit status {code}")


def com12_opens(s):
    sim = s.simulator(12, *s.example_steps())
    code, _ = s.tovrin(s.cfg, "-C12", "-B115200", "-X", "-L", "run.log")
    summary = sim.finish()
    check(summary.get("end") == "complete", f"device did not complete: {summary}")
    check(s.log_lines()[-3] == "*** Download finally completed", "not completed")
    check(code == 0, f"exit status {code}")


def unplugged_device_ends_the_run(s):
    sim = s.simulator(2, "--disconnect", "1.block.5", *s.example_steps())
    code, seconds = s.tovrin(s.cfg, "-C2", "-B115200", "-X", "-L", "run.log")
    sim.finish(limit=1)
    lines = s.log_lines()
    errors = [line for line in lines if line.startswith("*** ") and ("Error" in line or "No ACK" in line)]
    check(errors, f"no error line in the log: {lines}")
    check("*** Download finally completed" not in lines, "reported as completed")
    check(code == 1, f"exit status {code}")
    check(seconds < 60, f"took {seconds:.1f} s")


def german_log_without_library(s):
    sim = s.simulator(2, *s.example_steps())
    code, _ = s.tovrin(s.cfg, "-C2", "-B115200", "-X", "-L", "run.log", lang="de_DE.UTF-8")
    sim.finish()
    lines = s.log_lines()
    date = HEADER.match(lines[0]).group(2)
    check(re.fullmatch(r"\d{1,2}\.\d{1,2}\.\d{4} \* \d{2}:\d{2}:\d{2}", date), f"German date-time: {date!r}")
    raw = s.log.read_bytes()
    check("*** Verbindung zum Gerät herstellen\r\n".encode("cp1252") in raw, "German connect line")
    check("*** Download vollständig beendet\r\n".encode("cp1252") in raw, "German final line")
    check(code == 0, f"exit status {code}")


def run_engine_test(s, test_filter, **extra_env):
    """The Win32 engine in the Win32 test program, driven from a message-only owner window."""
    tests = s.exe.parent / "win32_tests.exe"
    check(tests.exists(), f"{tests} is not built")
    env = s.wine.env("en_US.UTF-8")
    env.update(TOVRIN_TEST_PORT="COM2", TOVRIN_TEST_CONFIG=s.cfg, **extra_env)
    started = time.monotonic()
    try:
        result = subprocess.run([s.wine.loader(tests), str(tests), f"--gtest_filter={test_filter}"], cwd=s.work, env=env,
                                capture_output=True, timeout=RUN_LIMIT_S)
    except subprocess.TimeoutExpired:
        raise Failure(f"{test_filter} did not end within {RUN_LIMIT_S} s")
    output = result.stdout.decode(errors="replace")
    check(result.returncode == 0 and "[  PASSED  ] 1 test" in output, f"{test_filter}:\n{output}")
    return time.monotonic() - started


def engine_transfers_two_steps(s):
    sim = s.simulator(2, *s.example_steps())
    run_engine_test(s, "EngineOverPty.TwoStepsComplete")
    sim.finish()
    check(sim.received() == s.expected_wire([(1, "EXAMPLE1.BIN", "EXAMPLE1.B86"), (1, "EXAMPLE2.BIN", "EXAMPLE2.B86")]),
          "the device did not receive exactly the zeros, the padded boot images and the blocks")


def engine_owner_exits_during_transfer(s):
    sim = s.simulator(2, "--ack", "1.block.3=late:6000", *s.example_steps())
    seconds = run_engine_test(s, "EngineOverPty.OwnerExitsDuringTransfer")
    sim.finish(limit=1)
    check(seconds < 30, f"took {seconds:.1f} s")


def user_runs_the_main_window(s):
    """Tovrin.exe started by a user with an empty registry (COM1, 38400) and driven through its
    window: start, a refused close, copy, the context menu, a resize, the size kept."""
    sim = s.simulator(1, "--ack", "1.block.2=late:2500", "--output", r"after:1.connect=BOOTLOADER V2.1\r\n",
                      "--output", r"after:2.block.1=Application ready\r\nOK\r\n", *s.example_steps())
    shots = os.environ.get("TOVRIN_SHOTS")
    run_engine_test(s, "MainWindowOverPty.AUserRunsATransferAndClosesTheWindow",
                    **({"TOVRIN_SHOTS": shots} if shots else {}))
    summary = sim.finish()
    check(summary.get("end") == "complete", f"device did not complete: {summary}")


def flood_text(count):
    """The simulator's flood: lines of 62 letters and digits, rotated by one per line, CR LF."""
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
    text, line = "", 0
    while len(text) < count:
        text += "".join(alphabet[(line + i) % len(alphabet)] for i in range(len(alphabet))) + "\r\n"
        line += 1
    return text[:count]


def device_output_at_full_line_rate(s):
    count = 40000  # 3.5 s of output at 115200 baud, ten times the receive ring
    sim = s.simulator(2, "--baud", "115200", "--flood", f"after:1.connect={count}", *s.example_steps())
    code, _ = s.tovrin(s.cfg, "-C2", "-B115200", "-X", "-L", "run.log")
    sim.finish()
    lines = s.log_lines()
    check("*** Receivebuffer overflow" not in lines, "the receive ring overflowed")
    # A status line that arrives while a device line grows splits it: the line goes on as a
    # new entry that holds the whole line, so the entry before the status line is a prefix of it.
    entries = lines[2:]
    device = [(i, line) for i, line in enumerate(entries) if line and not line.startswith("*** ")]
    merged = []
    for k, (i, line) in enumerate(device):
        if k + 1 < len(device):
            j, following = device[k + 1]
            split = any(entries[x].startswith("*** ") for x in range(i + 1, j))
            if split and following.startswith(line) and following != line:
                continue
        merged.append(line)
    device = merged
    expected = [line for line in flood_text(count).split("\r\n") if line]
    if device != expected:
        extra = [(i, a, b) for i, (a, b) in enumerate(zip(device, expected)) if a != b][:3]
        raise Failure(f"device lines: {len(device)} shown, {len(expected)} sent; first differences {extra}")
    check(code == 0, f"exit status {code}")


ARCHIVE_FILES = {"Tovrin.exe", "Tovrin1.DLL", "README.txt", "Example.cfg", "EXAMPLE1.BIN", "EXAMPLE1.B86",
                 "EXAMPLE2.BIN", "EXAMPLE2.B86"}
ARCHIVE_BUILDS = {"win32": "i686", "win64": "x86_64"}


def check_release_program(exe, build):
    """A program of the release: for its build's machine, with no symbol table and no debug
    sections left in it."""
    pe = PeFile(exe)
    machine = MACHINES[ARCHIVE_BUILDS[build]]
    check(pe.machine == machine, f"{exe.name} is for machine {pe.machine:#x}, not the {build} build")
    check(pe.symbols == 0, f"{exe.name} keeps a symbol table of {pe.symbols} symbols")
    names = pe.section_names()
    check(not [n for n in names if n.startswith(".debug")], f"{exe.name} keeps debug sections: {names}")


def check_windows_readme(readme):
    data = readme.read_bytes()
    check(data.endswith(b"\r\n") and b"\n" not in data.replace(b"\r\n", b""), "README.txt: a line end is not CR LF")
    text = data.decode("cp1252")  # raises on a byte that Windows-1252 lacks
    for needed in ("Tovrin cfgfile -Cn -Bm [-X -L logfilename [-A]]", "-X", "exit status",
                   r"HKEY_LOCAL_MACHINE\Software\Korvane\Quillon\2.0\Applications\qoltenix\Tovrin",
                   "Qarl.Application", "Info über Tovrin"):
        check(needed in text, f"README.txt does not say {needed!r}")
    check("@" not in text, "README.txt keeps a placeholder")


def unpack_release_archive(archive, into):
    """The archive unpacked into a clean folder, and its files checked: the folder that holds them."""
    build = re.search(r"-(win32|win64)\.zip$", archive.name)
    check(build is not None, f"{archive.name} names no build")
    build = build.group(1)
    unpacked = into / "unpacked"
    unpacked.mkdir()
    subprocess.run(["unzip", "-q", str(archive), "-d", str(unpacked)], check=True, timeout=60)
    folders = list(unpacked.iterdir())
    check(len(folders) == 1, f"the archive holds {len(folders)} entries at its top, not one folder")
    folder = folders[0]
    check(folder.name == archive.name[:-len(".zip")], f"the archive's folder is {folder.name}")
    check({p.name for p in folder.iterdir()} == ARCHIVE_FILES, f"the archive holds {sorted(os.listdir(folder))}")
    for name in ("Tovrin.exe", "Tovrin1.DLL"):
        check_release_program(folder / name, build)
    check_windows_readme(folder / "README.txt")
    for name in ARCHIVE_FILES - {"Tovrin.exe", "Tovrin1.DLL", "README.txt"}:
        check((folder / name).read_bytes() == (REPO / "examples" / name).read_bytes(), f"{name} is not the example's")
    return folder


def release_archive_contents(archive):
    """The archive's files, with nothing run."""
    with tempfile.TemporaryDirectory(prefix="e2e.archive.") as work:
        unpack_release_archive(archive, Path(work))


def release_archive_downloads(s, archive):
    """A Windows release archive unpacked into a clean folder: its files, and one batch download
    of its example from that folder against the simulator."""
    folder = unpack_release_archive(archive, s.work)
    s.exe, s.work, s.log = folder / "Tovrin.exe", folder, folder / "run.log"
    sim = s.simulator(2, *s.example_steps())
    code, _ = s.tovrin("Example.cfg", "-C2", "-B115200", "-X", "-L", "run.log")
    summary = sim.finish()
    check(summary.get("end") == "complete", f"device did not complete: {summary}")
    check(sim.received() == s.expected_wire([(1, "EXAMPLE1.BIN", "EXAMPLE1.B86"), (1, "EXAMPLE2.BIN", "EXAMPLE2.B86")]),
          "the device did not receive exactly the zeros, the padded boot images and the blocks")
    lines = s.log_lines()
    expect_header(lines, "Z:" + str(folder / "Example.cfg").replace("/", "\\"))
    check(lines[-3:] == ["*** Download finally completed", "", ""], f"log ends with {lines[-3:]}")
    check(code == 0, f"exit status {code}")


SCENARIOS = {f.__name__: f for f in [
    device_output_at_full_line_rate,
    engine_transfers_two_steps, engine_owner_exits_during_transfer, user_runs_the_main_window,
    completes_two_steps, silent_device_gives_up, missing_bin_opens_no_port, unopenable_port_is_reported,
    boot_file_nul_cannot_start, boot_file_com1_cannot_start, firmware_com1_cannot_start,
    default_log_beside_a_deep_program,
    configuration_named_nowhere, append_adds_a_record, dry_run_sends_nothing, com12_opens,
    unplugged_device_ends_the_run, german_log_without_library]}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario", choices=sorted(SCENARIOS) + ["list", "archive", "archive-contents"])
    parser.add_argument("--sim")
    parser.add_argument("--shim")
    parser.add_argument("--mkexample")
    parser.add_argument("--mingw", default=os.environ.get("TOVRIN_MINGW_X64_DIR", str(REPO / "build/mingw-x64")))
    parser.add_argument("--archive", help="with the scenario 'archive': a Windows release archive to check")
    options = parser.parse_args()
    if options.scenario == "list":
        print("\n".join(sorted(SCENARIOS)))
        return 0
    if options.scenario in ("archive", "archive-contents"):
        archive = Path(options.archive).resolve()
        if not archive.exists():
            print(f"SKIP: {options.archive} is not built (scripts/package.sh builds it)")
            return 77
        if options.scenario == "archive-contents":
            return report(lambda: release_archive_contents(archive))
        return run_scenario(options, lambda s: release_archive_downloads(s, archive))
    options.mingw = os.environ.get(os.environ.get("TOVRIN_MINGW_ENV", "TOVRIN_MINGW_X64_DIR"), options.mingw)
    if not (Path(options.mingw) / "bin" / "Tovrin.exe").exists():
        print(f"SKIP: {options.mingw}/bin/Tovrin.exe is not built")
        return 77
    return run_scenario(options, SCENARIOS[options.scenario])


def report(body, on_failure=lambda: None):
    try:
        body()
    except Failure as failure:
        print(f"FAIL: {failure}")
        on_failure()
        return 1
    print("PASS")
    return 0


def run_scenario(options, body):
    scenario = Scenario(options)

    def show_log():
        if scenario.log.exists():
            print("--- log\n" + scenario.log.read_bytes().decode("cp1252", "replace"))
    try:
        return report(lambda: body(scenario), show_log)
    finally:
        scenario.close()


if __name__ == "__main__":
    sys.exit(main())
