#!/usr/bin/env python3
"""The flashing record when things go wrong: `tovrin` natively against `tovrin-sim` on ptys, one
table of fault scenarios, each ending with the rows read back through `tovrin history`.

  record_e2e.py SCENARIO --tovrin TOVRIN --sim SIM --mkexample MKEXAMPLE
  record_e2e.py list

A scenario that needs root (a file system of its own, another user, a kernel limit) exits 77
with its reason when not run as root. On success the runs are printed as `history` lists them.
"""
import argparse
import json
import os
import pwd
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from tovrin_e2e import Failure, Simulator, check  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
LIMIT_S = 90


class Skip(Exception):
    pass


def needs_root(what):
    if os.geteuid() != 0:
        raise Skip(f"needs root: {what}")


class Station:
    """tovrin station --json, its events read as they come, each with the time it came."""

    def __init__(self, bench, *args, baud="115200", db=None, watch=None, logs=None):
        self.process = subprocess.Popen(
            [bench.tovrin, "station", "Example.cfg", "-B", baud, "--watch", str(watch or bench.watch), "--logs",
             str(logs or bench.logs), "--db", str(db or bench.db), "--json", *args],
            cwd=bench.work, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            env=dict(os.environ, LANG="en_US.UTF-8", LC_ALL=""))
        self.events = []
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()
        self.wait_for("station_start")

    def read(self):
        for line in self.process.stdout:
            event = json.loads(line)
            with self.lock:
                self.events.append((time.monotonic(), event))

    def wait_for(self, kind, match=lambda event: True, limit=LIMIT_S, after=None):
        """The first event of this kind that matches (and came after the monotonic time `after`)."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            with self.lock:
                for seen, event in self.events:
                    if event["event"] == kind and match(event) and (after is None or seen > after):
                        return seen, event
            if self.process.poll() is not None and not self.reader.is_alive():
                break
            time.sleep(0.02)
        raise Failure(f"no {kind} event came: {self.kinds()}; {self.process.stderr.read() if self.process.poll() is not None else ''}")

    def kinds(self):
        with self.lock:
            return [event["event"] for _, event in self.events]

    def end(self, exit_status, send=None):
        if send is not None:
            self.process.send_signal(send)
        try:
            self.process.wait(timeout=LIMIT_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise Failure("the station did not end")
        self.reader.join(timeout=10)
        self.stderr = self.process.stderr.read()
        check(self.process.returncode == exit_status,
              f"station exit status {self.process.returncode}, not {exit_status}: {self.stderr}")


class Bench:
    """A work folder with the example, a watched folder, a logs folder and a record store."""

    def __init__(self, options):
        self.tovrin, self.sim = str(Path(options.tovrin).resolve()), str(Path(options.sim).resolve())
        self.mkexample = str(Path(options.mkexample).resolve())
        self.work = Path(tempfile.mkdtemp(prefix="record-e2e."))
        for name in os.listdir(REPO / "examples"):
            shutil.copy(REPO / "examples" / name, self.work / name)
        self.watch, self.logs, self.sims_dir = self.work / "watch", self.work / "logs", self.work / "sims"
        for folder in (self.watch, self.logs, self.sims_dir):
            folder.mkdir()
        self.db = self.work / "rec.db"
        self.sims = []
        self.cleanups = []

    def plug(self, name, *extra, program1=None, folder=None):
        where = self.sims_dir / f"{name}.{len(self.sims)}"
        where.mkdir()
        steps = ["--step", f"ack=197,program={program1 or self.work / 'EXAMPLE1.B86'}",
                 "--step", f"ack=163,program={self.work / 'EXAMPLE2.B86'}"]
        sim = Simulator(self.sim, (folder or self.watch) / name, where, *extra, *steps)
        self.sims.append(sim)
        return sim

    def tovrin_run(self, *args, user=None, limit=LIMIT_S):
        command = [self.tovrin, *args]
        if user is not None:
            account = pwd.getpwnam(user)
            command = ["setpriv", f"--reuid={account.pw_uid}", f"--regid={account.pw_gid}", "--clear-groups",
                       *command]
        return subprocess.run(command, cwd=self.work, capture_output=True, text=True, timeout=limit,
                              env=dict(os.environ, LANG="en_US.UTF-8", LC_ALL=""))

    def runs(self, db=None):
        """The runs as `tovrin history --json` gives them, oldest first."""
        done = self.tovrin_run("history", "--db", str(db or self.db), "--json")
        check(done.returncode == 0, f"history: {done.stderr}")
        return list(reversed(json.loads(done.stdout)))

    def stored_outcomes(self, db=None):
        with sqlite3.connect(f"file:{db or self.db}?mode=ro", uri=True) as store:
            return sorted(outcome for (outcome,) in store.execute("SELECT outcome FROM runs"))

    def close(self):
        for sim in self.sims:
            sim.finish(limit=0)
        for cleanup in reversed(self.cleanups):
            cleanup()
        shutil.rmtree(self.work, ignore_errors=True)


def expect_runs(runs, outcomes):
    check(sorted(run["outcome"] for run in runs) == sorted(outcomes), f"runs {[run['outcome'] for run in runs]}")
    check(len({run["uuid"] for run in runs}) == len(runs), "a run id twice")


# --- the scenarios ---

def killed_station_leaves_interrupted_runs(bench):
    """A station killed (SIGKILL) while two boards load at 9600 baud leaves their rows running;
    history shows them interrupted at once, and the next station marks them so, each with the
    beginning of its record that the log file holds."""
    station = Station(bench, baud="9600")
    for name in ("a", "b"):
        bench.plug(name, "--baud", "9600")
    for name in ("a", "b"):
        station.wait_for("progress", lambda event, name=name: event["port"].endswith("/" + name) and
                         event["phase"] == "program")
    station.process.kill()
    station.end(-signal.SIGKILL)
    check(bench.stored_outcomes() == ["running", "running"], f"rows {bench.stored_outcomes()}")
    expect_runs(bench.runs(), ["interrupted", "interrupted"])
    again = Station(bench)
    _, event = again.wait_for("runs_interrupted")
    check(event["count"] == 2, f"{event}")
    again.end(128 + signal.SIGTERM, send=signal.SIGTERM)
    check(bench.stored_outcomes() == ["interrupted", "interrupted"], f"rows {bench.stored_outcomes()}")
    for run in bench.runs():
        on_disk = Path(run["log_file"]).read_bytes().decode("cp1252")
        check(run["log"] == on_disk and run["log"].startswith("Tovrin Example.cfg") and
              "*** Transmitting programfile EXAMPLE1.B86" in run["log"] and run["finished"] == "",
              f"interrupted run {run['uuid']}: log {run['log'][:200]!r}")


def locked_store_loses_no_row(bench):
    """Another program holds the store's write lock for 15 s while three runs end: every row is
    written once the lock goes, a board plugged 2 s into the lock starts within a second, and a
    listing works meanwhile."""
    station = Station(bench)
    holder = sqlite3.connect(bench.db, isolation_level=None, timeout=0)
    holder.execute("BEGIN EXCLUSIVE")
    locked = time.monotonic()
    for name in ("a", "b", "c"):
        bench.plug(name)
    time.sleep(max(0, locked + 2 - time.monotonic()))
    bench.plug("d")
    plugged, _ = station.wait_for("device_added", lambda event: event["port"].endswith("/d"))
    began, _ = station.wait_for("line", lambda event: event["port"].endswith("/d"))
    check(began - plugged < 1.0, f"the board plugged during the lock started {began - plugged:.2f} s after")
    listing = bench.tovrin_run("history", "--db", str(bench.db), limit=5)
    check(listing.returncode == 0, f"history during the lock: {listing.stderr}")
    station.wait_for("records_waiting", limit=20)
    time.sleep(max(0, locked + 15 - time.monotonic()))
    holder.execute("ROLLBACK")
    holder.close()
    station.wait_for("records_written", limit=20)
    station.end(128 + signal.SIGTERM, send=signal.SIGTERM)
    expect_runs(bench.runs(), ["completed"] * 4)


def full_store_keeps_rows_until_space(bench):
    """The store's file system fills up while boards load: the rows wait and are written when
    space is freed."""
    needs_root("a small file system of its own (tmpfs)")
    small = bench.work / "small"
    small.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(small)], check=True)
    bench.cleanups.append(lambda: subprocess.run(["umount", "-l", str(small)]))
    bench.db = small / "rec.db"
    station = Station(bench, "--count", "2")
    filler = os.open(small / "filler", os.O_WRONLY | os.O_CREAT, 0o644)
    try:
        while os.write(filler, b"\0" * 4096) > 0:
            pass
    except OSError:
        pass  # full
    finally:
        os.close(filler)
    for name in ("a", "b"):
        bench.plug(name)
    _, waiting = station.wait_for("records_waiting", limit=20)
    check("full" in waiting["reason"], f"{waiting}")
    (small / "filler").unlink()
    station.wait_for("records_written", limit=20)
    station.end(0)
    expect_runs(bench.runs(), ["completed"] * 2)


def history_only_reads(bench):
    """A user who may only read the store lists its runs; nothing is written beside it; a store
    the user may not reach is told as such."""
    needs_root("a second user (nobody)")
    sim = bench.plug("a")
    done = bench.tovrin_run("Example.cfg", "-C", sim.pty, "-B", "115200", "--db", str(bench.db), "-L", "run.log")
    check(done.returncode == 0, f"transfer: {done.stderr}")
    shared = bench.work / "shared"
    shared.mkdir()
    shutil.copy(bench.db, shared / "rec.db")
    os.chmod(bench.work, 0o755)
    os.chmod(shared, 0o755)
    os.chmod(shared / "rec.db", 0o644)
    before = sorted(os.listdir(shared)), (shared / "rec.db").read_bytes()
    listing = bench.tovrin_run("history", "--db", str(shared / "rec.db"), user="nobody")
    check(listing.returncode == 0 and "completed" in listing.stdout, f"as nobody: {listing.stdout} {listing.stderr}")
    check((sorted(os.listdir(shared)), (shared / "rec.db").read_bytes()) == before, "the listing changed the folder")
    os.chmod(shared, 0o700)
    refused = bench.tovrin_run("history", "--db", str(shared / "rec.db"), user="nobody")
    check(refused.returncode == 2 and "Permission denied" in refused.stderr, f"unreachable: {refused.stderr}")
    expect_runs(bench.runs(), ["completed"])


def one_device_under_two_names(bench):
    """Two links to one tty: the station loads the device once and tells the second name as
    such; a transfer given both names touches nothing."""
    station = Station(bench, "--count", "1")
    sim = bench.plug("a")
    os.symlink(sim.pty, bench.watch / "b")
    station.wait_for("device_alias")
    station.end(0)
    expect_runs(bench.runs(), ["completed"])
    other = bench.plug("c", folder=bench.work)
    os.symlink(other.pty, bench.work / "c2")
    done = bench.tovrin_run("Example.cfg", "-C", str(bench.work / "c"), "-C", str(bench.work / "c2"), "-B",
                            "115200", "--db", str(bench.db))
    check(done.returncode == 2 and "are one device" in done.stderr, f"transfer: {done.returncode} {done.stderr}")
    check(other.received() == b"", "a port was touched")
    expect_runs(bench.runs(), ["completed"])


def overflow_rescans_the_folder(bench):
    """The kernel drops the folder's events (its queue overflows while the station is stopped):
    the station lists the folder again and loads the board plugged in the gap, once."""
    needs_root("the kernel's limit of queued inotify events")
    limit = Path("/proc/sys/fs/inotify/max_queued_events")
    saved = limit.read_text()
    limit.write_text("8\n")
    try:
        station = Station(bench, "--count", "1", "--match", "board*")
    finally:
        limit.write_text(saved)
    station.process.send_signal(signal.SIGSTOP)
    for index in range(40):
        os.symlink("/dev/null", bench.watch / f"other{index}")
    bench.plug("board")
    station.process.send_signal(signal.SIGCONT)
    station.wait_for("folder_rescanned")
    station.end(0)
    expect_runs(bench.runs(), ["completed"])


def step_file_replaced_between_runs(bench):
    """A program file replaced between two runs: each run records the hash of the bytes it sent."""
    first = bench.work / "EXAMPLE1.B86"
    old = first.read_bytes()
    sim = bench.plug("a", folder=bench.work)
    done = bench.tovrin_run("Example.cfg", "-C", str(bench.work / "a"), "-B", "115200", "--db", str(bench.db))
    check(done.returncode == 0, f"first run: {done.stderr}")
    replacement = bench.work / "new.b86"
    subprocess.run([bench.mkexample, "--b86", str(replacement), "--size", "2400", "--seed", "99"], check=True)
    os.replace(replacement, first)
    new = first.read_bytes()
    second = bench.plug("b", program1=first, folder=bench.work)
    done = bench.tovrin_run("Example.cfg", "-C", str(bench.work / "b"), "-B", "115200", "--db", str(bench.db))
    check(done.returncode == 0, f"second run: {done.stderr}")
    check(new in second.received() and old in sim.received(), "the devices did not get the files of their runs")
    runs = bench.runs()
    expect_runs(runs, ["completed"] * 2)
    import hashlib
    for run, data in zip(runs, (old, new)):
        recorded = run["steps"][0]["program_file"]
        check(recorded["sha256"] == hashlib.sha256(data).hexdigest() and recorded["size"] == len(data),
              f"run {run['uuid']} recorded {recorded}")


def report_that_cannot_be_written(bench):
    """The report's folder goes while the device loads: the report event, the process and the
    error agree on exit status 1; the run itself is recorded as completed."""
    folder = bench.work / "reports"
    folder.mkdir()
    sim = bench.plug("a", "--baud", "38400", folder=bench.work)
    process = subprocess.Popen([bench.tovrin, "Example.cfg", "-C", str(bench.work / "a"), "-B", "38400", "--json",
                                "--report", str(folder / "report.json"), "--db", str(bench.db)], cwd=bench.work,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    first = process.stdout.readline()  # the run has begun: its destinations were checked
    check(json.loads(first)["event"] == "line", f"first event {first!r}")
    shutil.rmtree(folder)
    out, err = process.communicate(timeout=LIMIT_S)
    report = json.loads(out.splitlines()[-1])
    check(report["event"] == "report" and report["exit_status"] == 1 and process.returncode == 1,
          f"report event {report.get('exit_status')}, process {process.returncode}")
    check("the report cannot be written" in err, f"stderr: {err}")
    check(sim.finish().get("end") == "complete", "the device did not complete")
    expect_runs(bench.runs(), ["completed"])


SCENARIOS = {f.__name__: f for f in [
    killed_station_leaves_interrupted_runs, locked_store_loses_no_row, full_store_keeps_rows_until_space,
    history_only_reads, one_device_under_two_names, overflow_rescans_the_folder, step_file_replaced_between_runs,
    report_that_cannot_be_written]}


def run_scenarios(scenarios):
    """The command line of a scenario table: `SCENARIO --tovrin ... --sim ... --mkexample ...` or
    `list`. A scenario returns the store it recorded into (None: the bench's), which is shown as
    history lists it on success."""
    parser = argparse.ArgumentParser()
    parser.add_argument("scenario", choices=sorted(scenarios) + ["list"])
    parser.add_argument("--tovrin")
    parser.add_argument("--sim")
    parser.add_argument("--mkexample")
    options = parser.parse_args()
    if options.scenario == "list":
        print("\n".join(sorted(scenarios)))
        return 0
    bench = Bench(options)
    try:
        store = scenarios[options.scenario](bench)
        shown = bench.tovrin_run("history", "--db", str(store or bench.db))
        print(shown.stdout, end="")
    except Skip as reason:
        print(f"SKIP: {reason}")
        return 77
    except Failure as failure:
        print(f"FAIL: {failure}")
        return 1
    finally:
        bench.close()
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(run_scenarios(SCENARIOS))
