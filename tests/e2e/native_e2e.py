#!/usr/bin/env python3
"""End-to-end runs of the Linux tool `tovrin` against `tovrin-sim` on pseudo-terminals, without
Wine. One table of scenarios, one runner:

  native_e2e.py SCENARIO --tovrin TOVRIN --sim SIM
  native_e2e.py list

Each scenario starts one simulator per device (its pty linked as work/portN), runs tovrin with
the shipped example, optionally interrupts or kills it, holds a port's lock or keeps it open,
and checks the exit status, the log of every device, the bytes every device received, the
output, the JSON report and the JSON Lines events.
"""
import argparse
import fcntl
import csv
import hashlib
import io
import json
import os
import re
import shutil
import signal
import sqlite3
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
RECEIVE_GONE = "*** Error while executing receive thread: Code=48f Line: 145"
NO_ACK = {"id": 204, "code": 3, "text": "*** No Ack received (Timeout)"}
CANCELLED_ERROR = {"id": 139, "code": 0, "text": "*** Download has been cancelled by user."}


def unplugged(site):
    """A device unplugged at SITE: told the same way wherever the transfer stood."""
    return dict(devices=[["--disconnect", site]], exit=1, within=10, tail=[RECEIVE_GONE, "", ""],
                # The error ends the transfer, but what the download thread posted before it was
                # stopped is still shown, after the error: an acknowledge read or a boot image
                # handed to the driver just before the line went (the scheduler picks the order).
                late=("*** Connected to device", "*** Binaryfile ", "*** Transmitting programfile "),
                stderr=["{port0}: the device was disconnected"],
                # Bytes handed to the driver just before the line went may never reach the device.
                report=dict(outcome="failed", error={"id": 152, "code": 0x48F, "text": RECEIVE_GONE}, lost=True,
                            # Seen as a hang-up (no call failed: no errno), or as a read or write
                            # that failed with EIO: whichever comes first.
                            system_error={"errno": (None, 5), "name": (None, "EIO")}))


def without_late_lines(lines, keep, late):
    """The log without the lines that begin with one of `late` just before its last `keep` lines."""
    body, end = lines[:len(lines) - keep], lines[len(lines) - keep:]
    while late and body and body[-1].startswith(late):
        body.pop()
    return body + end


def truncate(name, count):
    return lambda work: (work / name).write_bytes((work / name).read_bytes()[:-count])


# Each row: the simulators (one option list per device), tovrin's extra arguments, and what must
# hold. `tail` is the end of each device's log (CR LF lines, "" for the final line end); `wire`
# the zeros per step each device must have received before everything else; `signal_after` an
# interrupt after so many seconds (`signal` names it); `kill_after` a SIGKILL, after which the log
# must be the beginning of a completed run's record; `lock` holds the first port's lock during the
# run and `holder` keeps it open without one; `report` the --report document's device fields;
# `json` runs with --json; `stdout_lines` lines (regular expressions) of which at least `count`
# must come, none more than `gap` seconds after the one before.
SCENARIOS = {
    "completes_two_steps": dict(
        devices=[["--output", r"after:1.block.3=Flash \x07erased\r\nOK\r\n"]], exit=0,
        log=[*COMPLETED[:6], "Flash ~07erased", "OK", *COMPLETED[6:]], wire=[1, 1],
        stdout=["Flash ~07erased\nOK\n*** Download completed", "*** Download finally completed",
                "{port0}: completed in "],
        report=dict(outcome="completed", error=None)),
    "json_lines_end_with_the_report": dict(
        devices=[["--baud", "38400"]], json=True, exit=0, report=dict(outcome="completed", error=None), wire=[1, 1]),
    "silent_device_sends_exactly_n_zeros": dict(
        devices=[["--silent"]], args=["--retries", "3"], exit=1, received=b"\0\0\0",
        tail=["*** Transmitting 0-Byte (4)", "*** No Ack received (Timeout)", "", ""],
        report=dict(outcome="failed", error=NO_ACK, step=1, phase="connecting")),
    "missing_bin_opens_no_port": dict(
        prepare=lambda work: (work / "EXAMPLE2.BIN").unlink(), exit=2, received=b"", closes="0",
        tail=["Cannot start current configuration, due to missing files.", ""],
        stderr_once=["EXAMPLE2.BIN: No such file or directory"],
        report=dict(outcome="not-started",
                    error={"id": 199, "code": 0, "text": "Cannot start current configuration, due to missing files."})),
    "malformed_program_file_opens_no_port": dict(
        prepare=truncate("EXAMPLE2.B86", 3), devices=[[], []], exit=2, received=b"", closes="0",
        tail=["*** Invalid file format of binary file EXAMPLE2.B86", ""],
        stderr_once=["EXAMPLE2.B86: malformed program file: block 18 at byte "]),
    "configuration_named_nowhere": dict(
        cfg="nowhere.cfg", devices=[[], []], exit=2, received=b"", header_cfg="",
        log=["The file nowhere.cfg specified in the commandline, does not exist.", "No configuration file selected!",
             ""], stderr_once=["nowhere.cfg: No such file or directory"]),
    "configuration_is_a_folder": dict(
        cfg="folder.cfg", prepare=lambda work: (work / "folder.cfg").mkdir(), exit=2, received=b"",
        tail=["The current configuration does not contain any download steps.", ""],
        stderr_once=["folder.cfg: Is a directory"]),
    "unopenable_port_is_reported": dict(
        devices=[], ports=["/nonexistent/ttyUSB9"], exit=1,
        tail=["Failed to open COM port /nonexistent/ttyUSB9.", ""],
        stderr=["tovrin: /nonexistent/ttyUSB9: No such file or directory"],
        report=dict(outcome="not-started", error={"id": 191, "code": 2, "text": "Failed to open COM port "
                                                                              "/nonexistent/ttyUSB9."},
                    system_error={"errno": 2, "name": "ENOENT"})),
    "not_a_serial_port_is_told_in_linux_words": dict(
        devices=[], ports=["/dev/null"], exit=1, tail=["SetCommMask failed with error 1.\n", ""],
        stderr=["tovrin: /dev/null: not a serial port (Inappropriate ioctl for device)"]),
    "locked_port_names_its_holder": dict(
        lock=True, exit=1, received=b"", tail=["Failed to open COM port {port0}.", ""],
        stderr=["tovrin: {port0}: in use by process {pid}"]),
    "open_port_is_warned_of": dict(
        holder=True, exit=0, wire=[1, 1], stderr_once=["tovrin: {port0}: also open in process {pid}"]),
    "refused_baud_rate_is_a_usage_error": dict(
        args_only=["Example.cfg", "-C", "{port0}", "-B", "4800"], exit=2, nolog=True,
        stderr=["baud rate 4800", "Usage: tovrin CFG"]),
    "unknown_option_is_named": dict(
        devices=[], args_only=["--frobnicate"], exit=2, nolog=True, stderr=["--frobnicate"],
        not_stderr=["CFG is required", "no configuration"]),
    "unplugged_while_connecting": unplugged("1.connect"),
    "unplugged_during_the_boot_image": unplugged("1.boot"),
    "unplugged_between_blocks": unplugged("1.block.5"),
    "append_adds_a_record": dict(runs=2, args=["-A"], exit=0, records=2),
    "german_texts_and_date": dict(
        env={"LANG": "de_DE.UTF-8"}, exit=0, contains=GERMAN[:2], german_date=True,
        stdout=["*** Verbindung zum Gerät herstellen"]),
    "german_by_option": dict(args=["--lang", "de"], exit=0, contains=GERMAN[:2]),
    "interrupt_while_connecting": dict(
        devices=[["--silent"]], signal_after=1.0, exit=130, tail=CANCELLED, closes="1",
        report=dict(outcome="cancelled", error=CANCELLED_ERROR, step=1, phase="connecting")),
    "interrupt_during_the_boot_image": dict(
        devices=[["--ack", "1.boot=late:8000"]], signal_after=1.0, exit=130, tail=CANCELLED, closes="1"),
    "interrupt_between_blocks": dict(
        devices=[["--ack", "1.block.3=late:8000"]], signal_after=1.0, exit=130, tail=CANCELLED, closes="1",
        report=dict(outcome="cancelled", error=CANCELLED_ERROR, step=1, phase="program")),
    "terminate_between_blocks": dict(
        devices=[["--ack", "1.block.3=late:8000"]], signal_after=1.0, signal=signal.SIGTERM, exit=143,
        tail=CANCELLED, closes="1"),
    "killed_in_the_program_file_leaves_the_beginning_of_the_record": dict(
        devices=[["--baud", "9600"]], kill_after=1.6, exit=-signal.SIGKILL,
        contains=["*** Transmitting programfile EXAMPLE1.B86"]),
    "piped_progress_lines_at_a_slow_line": dict(
        devices=[["--baud", "9600", "--ack", "1.connect=late:6500"]], baud="9600", exit=0, within=40,
        stdout_lines=[(r"^(\d+\.\d) s step 1/2: waking the loader", 2),
                      (r"^(\d+\.\d) s step 1/2: program file \d+% \(block", 5),
                      # Both boot images counted, however late their step's start is taken.
                      (r"^(\d+\.\d) s step 2/2: program file 100% \(block 18 of 18\), 100% of all", 1)], gap=5.5),
    "eight_devices_one_silent": dict(
        devices=[[]] * 4 + [["--silent"]] + [[]] * 3, args=["--retries", "3"], exit=1, within=20,
        per_port_tails={4: ["*** Transmitting 0-Byte (4)", "*** No Ack received (Timeout)", "", ""]},
        tail=COMPLETED[-4:], wire=[1, 1], stdout=["port0: completed in ", "port4: failed after "]),
    "check_lists_the_steps": dict(
        devices=[], args_only=["check", "Example.cfg"], exit=0, nolog=True,
        stdout=["Step 1: Flash programmer (Ack = C5)", "Step 2: Application (Ack = A3)", "in 13 blocks",
                "in 18 blocks", "{sha:EXAMPLE1.BIN}", "{sha:EXAMPLE2.B86}", "Ready: 2 steps"]),
    "check_as_json": dict(devices=[], args_only=["check", "Example.cfg", "--json"], exit=0, nolog=True,
                          check_json=True),
    "check_names_a_missing_file": dict(
        devices=[], prepare=lambda work: (work / "EXAMPLE1.B86").unlink(), args_only=["check", "Example.cfg"],
        exit=2, nolog=True, stderr=["tovrin: EXAMPLE1.B86: No such file or directory"]),
    "check_names_a_boot_file_too_large": dict(
        devices=[], prepare=lambda work: (work / "EXAMPLE2.BIN").write_bytes(b"\xff" * 961),
        args_only=["check", "Example.cfg"], exit=2, nolog=True,
        stderr=["tovrin: EXAMPLE2.BIN: boot file of 961 bytes is larger than the 960 bytes of the boot image"]),
    "check_names_a_configuration_without_steps": dict(
        devices=[], prepare=lambda work: (work / "Empty.cfg").write_text("[LoadingSteps]\r\n"),
        args_only=["check", "Empty.cfg"], exit=2, nolog=True, stderr=["tovrin: Empty.cfg: no loading steps"]),
    "ports_describes_a_pty": dict(
        holder=True, args_only=["ports", "{port0}", "--json"], exit=0, nolog=True, ports_json=True),
}

# Station rows: a station watching work/watch, plugged by the steps of `plugs`: ("plug", NAME,
# simulator options) links a new simulator as watch/NAME, ("unplug", NAME) ends it (its link
# goes), ("gone", NAME) waits until it has ended by itself, ("wait", SECONDS), ("signal", SIGNAL).
# `runs` are the recorded (entry, outcome) pairs, in any order; `history` runs `tovrin history`
# with the arguments and wants the entries of the runs it lists, newest first.
STATION = {
    "station_loads_and_records_two_devices": dict(
        args=["--count", "2", "--json"], exit=0,
        plugs=[("plug", "a", []), ("plug", "b", [])], runs=[("a", "completed"), ("b", "completed")],
        events={"device_added": 2, "device_end": 2, "station_start": 1, "station_end": 1}),
    "station_records_a_device_unplugged_mid_transfer": dict(
        args=["--count", "1"], exit=1, plugs=[("plug", "a", ["--disconnect", "1.block.5"])],
        runs=[("a", "failed")], stdout=["a: failed after", "a: unplugged", "totals: 0 passed, 1 failed"]),
    "station_loads_a_device_again_when_plugged_again": dict(
        args=["--count", "2", "--json"], exit=0,
        plugs=[("plug", "a", []), ("gone", "a"), ("plug", "a", [])], runs=[("a", "completed"), ("a", "completed")],
        # The second plug's link may go before the station ends.
        events={"device_added": 2, "device_removed": (1, 2), "device_end": 2}),
    "station_skips_a_device_present_at_start": dict(
        args=["--count", "1"], exit=0, present=["early"], plugs=[("wait", 1.0), ("plug", "late", [])],
        runs=[("late", "completed")]),
    "station_loads_a_device_present_at_start_with_existing": dict(
        args=["--count", "1", "--existing"], exit=0, present=["early"], runs=[("early", "completed")]),
    "two_stations_share_one_record_store": dict(
        args=["--count", "2"], exit=0, second=True,
        plugs=[("plug", "a", []), ("plug", "b", []), ("plug", "2/c", []), ("plug", "2/d", [])],
        runs=[("a", "completed"), ("b", "completed"), ("c", "completed"), ("d", "completed")]),
    "station_cancels_its_runs_on_ctrl_c": dict(
        args=[], exit=130,
        plugs=[("plug", "a", ["--ack", "1.block.3=late:8000"]), ("plug", "b", ["--ack", "1.boot=late:8000"]),
               ("wait", 1.0), ("signal", signal.SIGINT)],
        runs=[("a", "cancelled"), ("b", "cancelled")], log_tail=CANCELLED, stdout=["totals: 0 passed, 2 failed"]),
    "station_refuses_a_newer_record_store": dict(
        args=[], exit=2, newer_store=True, runs=None, stderr=["rec.db", "version 3"]),
    # /proc takes no files, though access() lets root write anywhere.
    "station_refuses_a_logs_folder_it_cannot_write": dict(
        args=[], logs="/proc", exit=2, runs=None, stderr=["the logs cannot be written: /proc"]),
    "history_filters_and_formats": dict(
        args=["--count", "2", "--retries", "2"], exit=1,
        plugs=[("plug", "a", []), ("plug", "b", ["--silent"])], runs=[("a", "completed"), ("b", "failed")],
        history=[([], "table", ["b", "a", "seeded"]), (["--outcome", "failed"], "json", ["b"]),
                 (["--port", "{watch}/a"], "csv", ["a"]), (["--since", "1h"], "json", ["b", "a"]),
                 (["--since", "2099-01-01"], "table", []), (["--serial", "FT4711"], "json", ["seeded"])]),
}


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def blocks(data):
    """The blocks of a program file: a length byte L, then L + 4 bytes."""
    count, at = 0, 0
    while at < len(data):
        at += data[at] + 5
        count += 1
    return count


ISO_UTC = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
UUID = r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}"
# A station's log: the time, the device's name, the run's id.
LOG_NAME = re.compile(r"^\d{8}-\d{6}\.\d{3}-\w+-" + UUID + r"\.log$")


class Run:
    def __init__(self, options, name, table=SCENARIOS):
        self.tovrin, self.sim = str(Path(options.tovrin).resolve()), str(Path(options.sim).resolve())
        self.row = table[name]
        self.work = Path(tempfile.mkdtemp(prefix=f"native-e2e.{name}."))
        for entry in os.listdir(REPO / "examples"):
            shutil.copy(REPO / "examples" / entry, self.work / entry)
        if "prepare" in self.row:
            self.row["prepare"](self.work)

    def simulators(self, extras=None):
        sims = []
        for index, extra in enumerate(extras if extras is not None else self.row.get("devices", [[]])):
            folder = self.work / f"device{index}"
            folder.mkdir(exist_ok=True)
            steps = ["--step", f"ack=197,program={self.work / 'EXAMPLE1.B86'}",
                     "--step", f"ack=163,program={self.work / 'EXAMPLE2.B86'}"]
            sims.append(Simulator(self.sim, self.work / f"port{index}", folder, *extra, *steps))
        return sims

    def ports(self, sims):
        return self.row.get("ports", [str(self.work / f"port{i}") for i in range(len(sims))])

    def text(self, template):
        return re.sub(r"\{sha:([^}]+)\}", lambda m: sha256(self.work / m.group(1)), template).format(
            port0=str(self.work / "port0"), pid=self.holder_pid)

    def tovrin_once(self, ports, row=None):
        row = row if row is not None else self.row
        if "args_only" in row:
            args = [self.text(arg) for arg in row["args_only"]]
        else:
            args = [row.get("cfg", "Example.cfg"), *sum((["-C", port] for port in ports), []), "-B", row.get("baud", "115200"),
                    "-L", "run.log", *(["--report", "report.json"] if "report" in row else []),
                    *(["--json"] if row.get("json") else []), *row.get("args", [])]
        env = dict(os.environ, LANG="en_US.UTF-8", LC_ALL="")
        env.update(row.get("env", {}))
        started = time.monotonic()
        process = subprocess.Popen([self.tovrin, *args], cwd=self.work, env=env, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        if "signal_after" in row:
            time.sleep(row["signal_after"])
            process.send_signal(row.get("signal", signal.SIGINT))
        if "kill_after" in row:
            time.sleep(row["kill_after"])
            process.kill()
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
        if self.row.get("lock") or self.row.get("holder"):
            holder = os.open(ports[0], os.O_RDWR | os.O_NOCTTY)
            if self.row.get("lock"):
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
        # Only the port set-up's own texts end with a line feed of their own, as a final message.
        check(b"\n" not in data.replace(b"\r\n", b"").replace(b".\n", b"."), "a line end is not CR LF")
        return data.decode("cp1252").split("\r\n")

    def verify(self, code, out, err, seconds, ports, sims, summaries):
        row = self.row
        check(code == row["exit"], f"exit status {code}, not {row['exit']}\nstdout:\n{out}\nstderr:\n{err}")
        check(seconds < row.get("within", 30), f"took {seconds:.1f} s")
        for expected in row.get("stdout", []):
            check(self.text(expected) in out, f"{self.text(expected)!r} not in the output:\n{out}")
        for expected in row.get("stderr", []):
            check(self.text(expected) in err, f"{self.text(expected)!r} not on standard error:\n{err}")
        for expected in row.get("stderr_once", []):
            check(err.count(self.text(expected)) == 1, f"{self.text(expected)!r} not once on standard error:\n{err}")
        for unexpected in row.get("not_stderr", []):
            check(unexpected not in err, f"{unexpected!r} on standard error:\n{err}")
        if "stdout_lines" in row:
            self.verify_progress_lines(out)
        if row.get("check_json"):
            self.verify_check_json(json.loads(out))
        if row.get("ports_json"):
            self.verify_ports_json(json.loads(out))
        if row.get("nolog"):
            check(not (self.work / "run.log").exists(), "a log was written")
            return
        if "kill_after" in row:
            self.verify_killed(ports)
        if "report" in row:
            document = json.loads((self.work / "report.json").read_text(encoding="utf-8"))
            self.verify_report(document, ports, sims)
            if row.get("json"):
                self.verify_events(out, document)
        for index in range(len(ports)):
            lines = self.log_of(ports, index)
            match = HEADER.match(lines[0])
            check(match is not None and lines[1] == "", f"header: {lines[:2]}")
            check(match.group(1) == row.get("header_cfg", row.get("cfg", "Example.cfg")),
                  f"header names {match.group(1)!r}")
            tail = row.get("per_port_tails", {}).get(index, row.get("tail"))
            if tail:
                tail = [self.text(line) for line in tail]
                lines = without_late_lines(lines, len(tail) - 1, row.get("late", ()))
                check(lines[-len(tail):] == tail, f"device {index}: log ends with {lines[-len(tail):]}; the log:\n" +
                      "\n".join(lines))
            if "log" in row:
                check(lines[2:] == row["log"], f"log lines: {lines[2:]}")
            for expected in row.get("contains", []):
                check(expected in lines, f"{expected!r} not in the log: {lines}")
            if row.get("german_date"):
                check(HEADER.match(lines[0]).group(2)[2] == ".", f"not a German date: {lines[0]}")
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

    def expected_steps(self):
        steps = []
        for title, ack, name in (("Flash programmer", 197, "EXAMPLE1"), ("Application", 163, "EXAMPLE2")):
            files = {}
            for key, suffix in (("boot_file", "BIN"), ("program_file", "B86")):
                path = self.work / f"{name}.{suffix}"
                there = path.exists()
                files[key] = {"path": str(path), "size": path.stat().st_size if there else None,
                              "sha256": sha256(path) if there else None}
            steps.append({"title": title, "ack": ack, **files,
                          "blocks": blocks((self.work / f"{name}.B86").read_bytes())})
        return steps

    def verify_report(self, document, ports, sims):
        expected = self.row["report"]
        version = subprocess.run([self.tovrin, "--version"], capture_output=True, text=True).stdout.split()[-1]
        check(document["tool"] == "tovrin" and document["version"] == version, f"tool: {document}")
        check(document["configuration"] == str(self.work / self.row.get("cfg", "Example.cfg")),
              f"configuration {document['configuration']}")
        check(ISO_UTC.match(document["started"]) is not None, f"started {document['started']}")
        check(document["exit_status"] == self.row["exit"], f"exit_status {document['exit_status']}")
        check(len(document["devices"]) == len(ports), "one device per port")
        for index, device in enumerate(document["devices"]):
            check(device["port"] == ports[index] and device["usb"] is None, f"port: {device}")
            check(device["outcome"] == expected["outcome"], f"outcome {device['outcome']}")
            check(device["error"] == expected["error"], f"error {device['error']}")
            for key in ("step", "phase"):
                if key in expected:
                    check(device[key] == expected[key], f"{key} {device[key]}")
            received = len(sims[index].received()) if index < len(sims) else 0
            check(device["bytes"] == received or (expected.get("lost") and device["bytes"] >= received),
                  f"bytes {device['bytes']}, the device received {received}")
            check(device["seconds"] > 0 and ISO_UTC.match(device["finished"]), f"times: {device}")
            check(device["log"] == str(self.work / "run.log"), f"log {device['log']}")
            check(device["steps"] == self.expected_steps(), f"steps: {device['steps']}")
            check(re.fullmatch(UUID, device["run_id"]) is not None, f"run id {device['run_id']}")
            cause = device["system_error"]
            if "system_error" in expected:
                wanted = {k: v if isinstance(v, tuple) else (v,) for k, v in expected["system_error"].items()}
                check(cause is not None and all(cause[k] in wanted[k] for k in wanted) and
                      cause["text"] == (os.strerror(cause["errno"]) if cause["errno"] else None) and
                      ports[index] in cause["description"],
                      f"system_error {cause}")
            elif expected["outcome"] == "completed":
                check(cause is None, f"system_error {cause}")

    def verify_events(self, out, document):
        events = [json.loads(line) for line in out.splitlines()]
        kinds = [event["event"] for event in events]
        check(kinds[-1] == "report" and kinds.count("device_end") == 1 and "progress" in kinds,
              f"events: {kinds}")
        lines = [event["text"] for event in events if event["event"] == "line"]
        check(lines == self.log_of([None], 0)[2:-2], f"line events: {lines}")
        # Every event of the device names its run.
        run_id = document["devices"][0]["run_id"]
        check(all(event["run_id"] == run_id for event in events if event["event"] in ("line", "progress", "device_end")),
              "an event of the device without its run id")
        last = dict(events[-1])
        del last["event"]
        check(last == document, "the last event is not the report")

    def verify_killed(self, ports):
        killed = (self.work / "run.log").read_bytes()
        for sim in self.simulators([[]]):
            code, _, err, _ = self.tovrin_once(ports, dict(args=[]))
            check(code == 0, f"the reference run failed: {err}")
            sim.finish()
        completed = (self.work / "run.log").read_bytes()
        body = killed[killed.index(b"\r\n"):]
        check(completed[completed.index(b"\r\n"):].startswith(body) and len(body) > 60,
              f"the killed run's log is not the beginning of the record:\n{killed!r}\n{completed!r}")
        (self.work / "run.log").write_bytes(killed)

    def verify_progress_lines(self, out):
        times = []
        for pattern, count in self.row["stdout_lines"]:
            found = [float(m.group(1)) for m in (re.match(pattern, line) for line in out.splitlines()) if m]
            check(len(found) >= count, f"{count} lines of {pattern!r} wanted, {len(found)} came:\n{out}")
        for line in out.splitlines():
            m = re.match(r"^(\d+\.\d) s step", line)
            if m:
                times.append(float(m.group(1)))
        gaps = [b - a for a, b in zip(times, times[1:])]
        check(gaps and max(gaps) <= self.row["gap"], f"progress lines {times}")

    def verify_check_json(self, document):
        check(document["ok"] is True and document["problem"] is None, f"check: {document}")
        check(document["configuration"] == str(self.work / "Example.cfg"), f"check: {document}")
        check(document["sha256"] == sha256(self.work / "Example.cfg"), "the configuration's hash")
        check(document["steps"] == self.expected_steps(), f"steps: {document['steps']}")

    def verify_ports_json(self, ports):
        check(len(ports) == 1, f"ports: {ports}")
        port = ports[0]
        check(port["path"] == str(self.work / "port0") and port["device"].startswith("/dev/pts/"), f"{port}")
        check(port["usb"] is None and port["locked_by"] is None, f"{port}")
        check(self.holder_pid in [user["pid"] for user in port["open_by"]], f"open_by: {port['open_by']}")

    def close(self):
        shutil.rmtree(self.work, ignore_errors=True)


class StationRun(Run):
    """A station watching work/watch (and a second one work/watch2), plugged by the row's steps."""

    def __init__(self, options, name):
        super().__init__(options, name, STATION)
        for folder in ("watch", "watch2", "logs", "sims"):
            (self.work / folder).mkdir()
        self.db = self.work / "rec.db"
        self.sims = {}

    def plug(self, name, extra):
        folder = self.work / "sims" / f"{name.replace('/', '_')}.{len(self.sims)}"
        folder.mkdir()
        link = self.work / ("watch2/" + name[2:] if name.startswith("2/") else "watch/" + name)
        steps = ["--step", f"ack=197,program={self.work / 'EXAMPLE1.B86'}",
                 "--step", f"ack=163,program={self.work / 'EXAMPLE2.B86'}"]
        self.sims[name] = Simulator(self.sim, link, folder, *extra, *steps)

    def station(self, watch):
        args = [self.tovrin, "station", "Example.cfg", "-B", "115200", "--watch", str(self.work / watch), "--logs",
                self.row.get("logs", str(self.work / "logs")), "--db", str(self.db), *self.row["args"]]
        process = subprocess.Popen(args, cwd=self.work, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                   env=dict(os.environ, LANG="en_US.UTF-8", LC_ALL=""))
        if self.row["exit"] != 2:
            first = process.stdout.readline()  # the station says it watches before anything else
            if "watch" not in first:
                process.kill()
                raise Failure(f"the station did not start: {first!r} {process.communicate()[1]}")
            return process, first
        return process, ""

    def execute(self):
        if self.row.get("newer_store"):
            with sqlite3.connect(self.db) as store:
                store.execute("CREATE TABLE runs (id INTEGER PRIMARY KEY)")
                store.execute("PRAGMA user_version = 3")
            before = self.db.read_bytes()
        for name in self.row.get("present", []):
            self.plug(name, [])
        stations = [self.station("watch")] + ([self.station("watch2")] if self.row.get("second") else [])
        for step in self.row.get("plugs", []):
            if step[0] == "plug":
                self.plug(step[1], step[2])
            elif step[0] == "unplug":
                self.sims[step[1]].finish(limit=0)
            elif step[0] == "gone":
                self.sims[step[1]].finish(limit=20)
            elif step[0] == "wait":
                time.sleep(step[1])
            else:
                for process, _ in stations:
                    process.send_signal(step[1])
        results = []
        for process, first in stations:
            try:
                out, err = process.communicate(timeout=RUN_LIMIT_S)
            except subprocess.TimeoutExpired:
                process.kill()
                raise Failure("the station did not end")
            results.append((process.returncode, first + out, err))
        for sim in self.sims.values():
            sim.finish(limit=3)
        for code, out, err in results:
            check(code == self.row["exit"], f"exit status {code}, not {self.row['exit']}\n{out}\n{err}")
            for expected in self.row.get("stdout", []):
                check(expected in out, f"{expected!r} not in the output:\n{out}")
            for expected in self.row.get("stderr", []):
                check(expected in err, f"{expected!r} not on standard error:\n{err}")
        if self.row.get("newer_store"):
            check(self.db.read_bytes() == before, "the newer record store was changed")
        if self.row["runs"] is None:
            return
        self.verify_runs(results)
        for args, form, names in self.row.get("history", []):
            self.verify_history(args, form, names)

    def verify_runs(self, results):
        with sqlite3.connect(self.db) as store:
            rows = store.execute("SELECT port, outcome, log, steps, configuration_sha256, uuid, log_file, pid "
                                 "FROM runs").fetchall()
        recorded = sorted((Path(port).name, outcome) for port, outcome, *_ in rows)
        check(recorded == sorted((name.split("/")[-1], outcome) for name, outcome in self.row["runs"]),
              f"recorded runs {recorded}")
        # Each run's log is its own: named by the run's id, which its row carries.
        logs = sorted(os.listdir(self.work / "logs"))
        check(len(logs) == len(rows) and all(LOG_NAME.match(log) for log in logs), f"logs {logs}")
        for *_, uuid, log_file, pid in rows:
            check(Path(log_file).name in logs and uuid in Path(log_file).name and pid > 0,
                  f"row of {uuid}: log {log_file}, pid {pid}")
        for port, outcome, log, steps, cfg_hash, *_ in rows:
            check(cfg_hash == sha256(self.work / "Example.cfg") and json.loads(steps) == self.expected_steps(),
                  f"{port}: the configuration's facts")
            lines = log.split("\r\n")
            check(HEADER.match(lines[0]) is not None, f"{port}: the log in the record: {lines[:2]}")
            if outcome == "completed":
                check(lines[-3] == "*** Download finally completed", f"{port}: {lines[-3:]}")
            if "log_tail" in self.row:
                check(lines[-len(self.row["log_tail"]):] == self.row["log_tail"], f"{port}: {lines[-4:]}")
        for code, out, err in results:
            if "events" in self.row:
                kinds = [json.loads(line)["event"] for line in out.splitlines()]
                for kind, count in self.row["events"].items():
                    low, high = count if isinstance(count, tuple) else (count, count)
                    check(low <= kinds.count(kind) <= high, f"{count} {kind} events wanted: {kinds}")

    def verify_history(self, args, form, names):
        with sqlite3.connect(self.db) as store:
            if not store.execute("SELECT 1 FROM runs WHERE port = 'seeded'").fetchall():
                store.execute("INSERT INTO runs (started, finished, host, station, port, usb_serial, configuration, "
                              "configuration_sha256, steps, outcome, bytes, seconds, log) VALUES ('2020-01-01T00:00:00Z',"
                              " '2020-01-01T00:00:01Z', 'h', 's', 'seeded', 'FT4711', 'c', 'x', '[]', 'completed', 0, 1,"
                              " '')")
        args = [arg.format(watch=str(self.work / "watch")) for arg in args]
        flags = {"table": [], "csv": ["--csv"], "json": ["--json"]}[form]
        done = subprocess.run([self.tovrin, "history", "--db", str(self.db), *args, *flags], capture_output=True,
                              text=True)
        check(done.returncode == 0, f"history {args}: {done.stderr}")
        if form == "json":
            listed = [Path(run["port"]).name for run in json.loads(done.stdout)]
        elif form == "csv":
            check(done.stdout.startswith("id,started,finished,host,station,port,"), f"CSV header {done.stdout[:80]}")
            listed = [Path(row["port"]).name for row in csv.DictReader(io.StringIO(done.stdout, newline=""))]
        else:
            body = done.stdout.splitlines()[1:]
            listed = [] if done.stdout.strip() == "no runs" else [line.split()[3] for line in body]
        check(listed == names, f"history {args} {form}: {listed}, not {names}\n{done.stdout}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario", choices=sorted(SCENARIOS) + sorted(STATION) + ["list"])
    parser.add_argument("--tovrin")
    parser.add_argument("--sim")
    options = parser.parse_args()
    if options.scenario == "list":
        print("\n".join(sorted(SCENARIOS) + sorted(STATION)))
        return 0
    run = StationRun(options, options.scenario) if options.scenario in STATION else Run(options, options.scenario)
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
