#!/usr/bin/env python3
"""End-to-end runs of the Linux tool `tovrin` against `tovrin-sim` on pseudo-terminals, without
Wine. One table of scenarios, one runner:

  native_e2e.py SCENARIO --tovrin TOVRIN --sim SIM
  native_e2e.py list

Each scenario starts one simulator per device (its pty linked as work/portN), runs tovrin with
the shipped example, optionally interrupts it or holds a port's lock, and checks the exit
status, the log of every device, the bytes every device received and the output.
"""
import argparse
import fcntl
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from tovrin_e2e import HEADER, Failure, Simulator, check  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
RUN_LIMIT_S = 60
STEP = ["*** Connecting to device", "*** Transmitting 0-Byte (1)", "*** Connected to device"]
COMPLETED = ["*** Start Download",
             *STEP, "*** Binaryfile EXAMPLE1.BIN transmitted.", "*** Transmitting programfile EXAMPLE1.B86",
             "*** Download completed",
             *STEP, "*** Binaryfile EXAMPLE2.BIN transmitted.", "*** Transmitting programfile EXAMPLE2.B86",
             "*** Download completed", "*** Download finally completed", "", ""]
CANCELLED = ["*** Download has been cancelled by user.", "*** Download aborted", "", ""]
GERMAN = ["*** Verbindung zum Gerät herstellen", "*** Download vollständig beendet", "", ""]


def wire(work, zeros):
    """What the device receives for the example's two steps: the wake-up zeros, the boot images
    padded with 0xFF to 960 bytes, the program files."""
    data = b""
    for count, name in zip(zeros, ("EXAMPLE1", "EXAMPLE2")):
        image = (work / f"{name}.BIN").read_bytes()
        data += b"\0" * count + image + b"\xff" * (960 - len(image)) + (work / f"{name}.B86").read_bytes()
    return data


# Each row: the simulators (one option list per device), tovrin's extra arguments, and what must
# hold. `tail` is the end of each device's log (CR LF lines, "" for the final line end); `wire`
# the zeros per step each device must have received before everything else; `signal_after` an
# interrupt after so many seconds; `lock` holds the first port's lock during the run.
SCENARIOS = {
    "completes_two_steps": dict(
        devices=[["--output", r"after:1.block.3=Flash \x07erased\r\nOK\r\n"]], exit=0,
        log=[*COMPLETED[:6], "Flash ~07erased", "OK", *COMPLETED[6:]], wire=[1, 1],
        stdout=["Flash ~07erased\nOK\n*** Download completed", "*** Download finally completed"]),
    "silent_device_sends_exactly_n_zeros": dict(
        devices=[["--silent"]], args=["--retries", "3"], exit=1, received=b"\0\0\0",
        tail=["*** Transmitting 0-Byte (4)", "*** No Ack received (Timeout)", "", ""]),
    "missing_bin_opens_no_port": dict(
        prepare=lambda work: (work / "EXAMPLE2.BIN").unlink(), exit=1, received=b"", closes="0",
        tail=["Cannot start current configuration, due to missing files.", ""],
        stderr=["*** The BIN file EXAMPLE2.BIN does not exist"]),
    "configuration_named_nowhere": dict(
        cfg="nowhere.cfg", exit=1, received=b"", header_cfg="",
        log=["The file nowhere.cfg specified in the commandline, does not exist.", "No configuration file selected!",
             ""]),
    "unopenable_port_is_reported": dict(
        devices=[], ports=["/nonexistent/ttyUSB9"], exit=1,
        tail=["Failed to open COM port /nonexistent/ttyUSB9.", ""], stderr=["No such file or directory"]),
    "locked_port_names_its_holder": dict(
        lock=True, exit=1, received=b"", tail=["Failed to open COM port {port0}.", ""],
        stderr=["in use by process {pid}"]),
    "refused_baud_rate_is_a_usage_error": dict(
        args_only=["Example.cfg", "-C", "{port0}", "-B", "4800"], exit=2, nolog=True,
        stderr=["baud rate 4800", "Usage: tovrin CFG"]),
    "unplugged_device_ends_the_run": dict(
        devices=[["--disconnect", "1.block.5"]], exit=1, within=10,
        # Whichever thread notices first reports it: the receive thread, or a write that fails.
        check=lambda lines: check("*** Download finally completed" not in lines and
                                  any(line.startswith("*** Error while") for line in lines),
                                  f"no error line: {lines}")),
    "append_adds_a_record": dict(runs=2, args=["-A"], exit=0, records=2),
    "german_texts_and_date": dict(
        env={"LANG": "de_DE.UTF-8"}, exit=0, contains=GERMAN[:2], german_date=True,
        stdout=["*** Verbindung zum Gerät herstellen"]),
    "german_by_option": dict(args=["--lang", "de"], exit=0, contains=GERMAN[:2]),
    "interrupt_while_connecting": dict(
        devices=[["--silent"]], signal_after=1.0, exit=1, tail=CANCELLED, closes="1"),
    "interrupt_during_the_boot_image": dict(
        devices=[["--ack", "1.boot=late:8000"]], signal_after=1.0, exit=1, tail=CANCELLED, closes="1"),
    "interrupt_between_blocks": dict(
        devices=[["--ack", "1.block.3=late:8000"]], signal_after=1.0, exit=1, tail=CANCELLED, closes="1"),
    "eight_devices_one_silent": dict(
        devices=[[]] * 4 + [["--silent"]] + [[]] * 3, args=["--retries", "3"], exit=1, within=20,
        per_port_tails={4: ["*** Transmitting 0-Byte (4)", "*** No Ack received (Timeout)", "", ""]},
        tail=COMPLETED[-4:], wire=[1, 1], stdout=["completed", "failed"]),
}


class Run:
    def __init__(self, options, name):
        self.tovrin, self.sim = str(Path(options.tovrin).resolve()), str(Path(options.sim).resolve())
        self.row = SCENARIOS[name]
        self.work = Path(tempfile.mkdtemp(prefix=f"native-e2e.{name}."))
        for entry in os.listdir(REPO / "examples"):
            shutil.copy(REPO / "examples" / entry, self.work / entry)
        if "prepare" in self.row:
            self.row["prepare"](self.work)

    def simulators(self):
        sims = []
        for index, extra in enumerate(self.row.get("devices", [[]])):
            folder = self.work / f"device{index}"
            folder.mkdir(exist_ok=True)
            steps = ["--step", f"ack=197,program={self.work / 'EXAMPLE1.B86'}",
                     "--step", f"ack=163,program={self.work / 'EXAMPLE2.B86'}"]
            sims.append(Simulator(self.sim, self.work / f"port{index}", folder, *extra, *steps))
        return sims

    def ports(self, sims):
        return self.row.get("ports", [str(self.work / f"port{i}") for i in range(len(sims))])

    def text(self, template):
        return template.format(port0=str(self.work / "port0"), pid=self.holder_pid)

    def tovrin_once(self, ports):
        if "args_only" in self.row:
            args = [self.text(arg) for arg in self.row["args_only"]]
        else:
            args = [self.row.get("cfg", "Example.cfg"), *sum((["-C", port] for port in ports), []), "-B", "115200",
                    "-L", "run.log", *self.row.get("args", [])]
        env = dict(os.environ, LANG="en_US.UTF-8", LC_ALL="")
        env.update(self.row.get("env", {}))
        started = time.monotonic()
        process = subprocess.Popen([self.tovrin, *args], cwd=self.work, env=env, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        if "signal_after" in self.row:
            time.sleep(self.row["signal_after"])
            process.send_signal(signal.SIGINT)
        try:
            out, err = process.communicate(timeout=RUN_LIMIT_S)
        except subprocess.TimeoutExpired:
            process.kill()
            raise Failure(f"tovrin {' '.join(args)} did not end within {RUN_LIMIT_S} s")
        return process.returncode, out.decode("utf-8", "replace"), err.decode("utf-8", "replace"), \
            time.monotonic() - started

    def execute(self):
        self.holder_pid = os.getpid()
        sims = self.simulators()
        ports = self.ports(sims)
        holder = None
        if self.row.get("lock"):
            holder = os.open(ports[0], os.O_RDWR | os.O_NOCTTY)
            fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        try:
            for _ in range(self.row.get("runs", 1) - 1):
                code, _, err, _ = self.tovrin_once(ports)
                check(code == self.row["exit"], f"first run: exit status {code}: {err}")
                for sim in sims:
                    sim.finish()
                sims = self.simulators()
            code, out, err, seconds = self.tovrin_once(ports)
        finally:
            if holder is not None:
                os.close(holder)
        summaries = [sim.finish(limit=3) for sim in sims]
        self.verify(code, out, err, seconds, ports, sims, summaries)

    def log_of(self, ports, index):
        name = "run.log" if len(ports) == 1 else f"run.{Path(ports[index]).name}.log"
        path = self.work / name
        check(path.exists(), f"no log {name}")
        data = path.read_bytes()
        check(b"\n" not in data.replace(b"\r\n", b""), "a line end is not CR LF")
        return data.decode("cp1252").split("\r\n")

    def verify(self, code, out, err, seconds, ports, sims, summaries):
        row = self.row
        check(code == row["exit"], f"exit status {code}, not {row['exit']}\nstdout:\n{out}\nstderr:\n{err}")
        check(seconds < row.get("within", 30), f"took {seconds:.1f} s")
        for expected in row.get("stdout", []):
            check(expected in out, f"{expected!r} not in the output:\n{out}")
        for expected in row.get("stderr", []):
            check(self.text(expected) in err, f"{self.text(expected)!r} not on standard error:\n{err}")
        if row.get("nolog"):
            check(not (self.work / "run.log").exists(), "a log was written")
            return
        for index in range(len(ports)):
            lines = self.log_of(ports, index)
            match = HEADER.match(lines[0])
            check(match is not None and lines[1] == "", f"header: {lines[:2]}")
            check(match.group(1) == row.get("header_cfg", "Example.cfg"), f"header names {match.group(1)!r}")
            tail = row.get("per_port_tails", {}).get(index, row.get("tail"))
            if tail:
                tail = [self.text(line) for line in tail]
                check(lines[-len(tail):] == tail, f"device {index}: log ends with {lines[-len(tail):]}")
            if "log" in row:
                check(lines[2:] == row["log"], f"log lines: {lines[2:]}")
            for expected in row.get("contains", []):
                check(expected in lines, f"{expected!r} not in the log: {lines}")
            if row.get("german_date"):
                check(HEADER.match(lines[0]).group(2)[2] == ".", f"not a German date: {lines[0]}")
            if "check" in row:
                row["check"](lines)
            if "records" in row:
                data = (self.work / "run.log").read_bytes()
                check(data.count(b"Tovrin Example.cfg ") == row["records"] and b"\r\n\r\n\r\n\r\nTovrin " in data,
                      "records are not appended after CR LF CR LF")
        for index, (sim, summary) in enumerate(zip(sims, summaries)):
            received = sim.received()
            if "received" in row:
                check(received == row["received"], f"device {index} received {received[:40]!r}")
            if "wire" in row and index not in row.get("per_port_tails", {}):
                check(received == wire(self.work, row["wire"]), f"device {index}: not exactly the example's bytes")
            if "closes" in row:
                check(summary.get("host_closes") == row["closes"], f"device {index}: {summary}")

    def close(self):
        shutil.rmtree(self.work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario", choices=sorted(SCENARIOS) + ["list"])
    parser.add_argument("--tovrin")
    parser.add_argument("--sim")
    options = parser.parse_args()
    if options.scenario == "list":
        print("\n".join(sorted(SCENARIOS)))
        return 0
    run = Run(options, options.scenario)
    try:
        run.execute()
    except Failure as failure:
        print(f"FAIL: {failure}")
        return 1
    finally:
        run.close()
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
