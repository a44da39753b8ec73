#!/usr/bin/env python3
"""Station benchmark: `tovrin station` watching a folder that a script fills with links to
simulated controllers, as udev fills /dev/serial/by-id, in one run:

  (a) 32 devices plugged at once at 115200 baud: the slowest transfer's time against the line
      time its bytes need, beside one device alone (goal: within 0.05 of it);
  (b) a soak: SOAK device runs through one station process, unpaced, SLOTS devices plugged and
      unplugged side by side: open file descriptors, threads and resident memory of the station
      at run 50 and at the last run, and every run recorded once;
  (c) the same soak with the record store on a RAM disk (/dev/shm): runs per second of the two
      (goal: the store on disk within 5 % of it);
  (d) an idle station: its voluntary context switches over IDLE seconds, from /proc/PID/status
      (goal: at most 5 in 60 s: nothing wakes it without a reason).

  bench/station_bench.py [--devices 32] [--size BYTES] [--soak 1000] [--slots 4] [--idle 60]
                         [--compare OLD_TOVRIN]

--compare measures an earlier build of tovrin the same way in the same run, (d) of both at once,
and prints each figure of the two side by side with their ratio.

Needs the native-release build (tovrin, tovrin-sim, tovrin-mkexample).
"""
import argparse
import json
import os
import shutil
import statistics
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
RELEASE = REPO / "build" / "native-release" / "bin"
TOVRIN, SIM, MKEXAMPLE = RELEASE / "tovrin", RELEASE / "tovrin-sim", RELEASE / "tovrin-mkexample"
tovrin = TOVRIN  # the build being measured


class Station:
    """tovrin station with --json, its events read as they come; `options` go after the others."""

    def __init__(self, work, watch, db, count, baud, program=None, options=()):
        self.process = subprocess.Popen(
            [str(program or tovrin), "station", "bench.cfg", "-B", str(baud), "--watch", str(watch), "--logs",
             str(work / "logs"), "--db", str(db), "--count", str(count), "--json", *options],
            cwd=work, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        first = json.loads(self.process.stdout.readline())
        if first.get("event") != "station_start":
            sys.exit(f"the station did not start: {first}")
        self.ends = []
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        for line in self.process.stdout:
            event = json.loads(line)
            if event["event"] == "device_end":
                self.ends.append(event)
            elif event["event"] == "station_end":
                self.end = event

    def status(self):
        return dict(line.split(":", 1) for line in Path(f"/proc/{self.process.pid}/status").read_text().splitlines())

    def usage(self):
        fds = len(os.listdir(f"/proc/{self.process.pid}/fd"))
        status = self.status()
        return fds, int(status["Threads"]), int(status["VmRSS"].split()[0])

    def switches(self):
        """Voluntary context switches of all the station's threads so far."""
        total = 0
        for task in os.listdir(f"/proc/{self.process.pid}/task"):
            status = Path(f"/proc/{self.process.pid}/task/{task}/status").read_text()
            total += int(next(line for line in status.splitlines()
                              if line.startswith("voluntary_ctxt_switches")).split()[1])
        return total

    def wait(self, limit):
        code = self.process.wait(timeout=limit)
        self.reader.join(timeout=10)
        if code not in (0, 1):
            sys.exit(f"station: exit {code}: {self.process.stderr.read()}")
        return code


def plug(work, link, baud, tag):
    """A simulated device appearing as `link`; it goes (its link removed) when its run is over."""
    summary = work / "summaries" / f"{tag}"
    sim = subprocess.Popen([str(SIM), "--step", f"ack=197,program={work / 'program.b86'}", "--link", str(link),
                            "--summary", str(summary), "--baud", str(baud), "--idle-timeout", "60", "--linger", "5"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    sim.stdout.readline()
    return sim, summary


def summary_of(path):
    return dict(line.split("=", 1) for line in path.read_text().splitlines())


def line_ratio(summary, baud):
    measured = int(summary["first_to_last_us"]) / 1e6
    return measured / ((int(summary["received_bytes"]) + int(summary["sent_bytes"])) * 10 / baud)


def parallel(work, devices, tag, baud=115200, db=None, options=()):
    """`devices` plugged at once (the station's store `db`, a file of its own unless given);
    every device's line ratio."""
    watch = work / f"watch-{tag}"
    watch.mkdir()
    station = Station(work, watch, db or work / f"parallel-{tag}.db", devices, baud, options=options)
    sims = [plug(work, watch / f"usb-SIM_{i:02}-if00", baud, f"{tag}-{i}") for i in range(devices)]
    station.wait(600)
    ratios = []
    for sim, summary in sims:
        sim.wait(timeout=30)
        facts = summary_of(summary)
        if facts.get("end") != "complete":
            sys.exit(f"a device of {devices} did not complete: {facts}")
        ratios.append(line_ratio(facts, baud))
    return ratios


def soak(work, runs, slots, db, checkpoints):
    """`runs` device runs through one station, `slots` devices plugged and unplugged side by side.
    At each checkpoint (and after the last run) the plugging waits until the station is idle and
    its use of the system is read, so that every reading sees the same state: no run going."""
    watch = work / f"watch-soak-{db.stem}"
    watch.mkdir()
    station = Station(work, watch, db, runs + 1, 115200)  # the devices answer at once: not paced
    condition = threading.Condition()
    plugged, allowed = [0], [0]

    def slot(number):
        while True:
            with condition:
                condition.wait_for(lambda: plugged[0] < allowed[0] or plugged[0] > runs)
                if plugged[0] > runs:
                    return
                plugged[0] += 1
            sim, _ = plug(work, watch / f"usb-SIM_SOAK_{number}-if00", 0, "soak")
            sim.wait(timeout=60)  # its run has ended and it has gone: plug the next one

    workers = [threading.Thread(target=slot, args=(n,)) for n in range(slots)]
    for worker in workers:
        worker.start()
    samples, busy = {}, 0.0
    for checkpoint in sorted(set(checkpoints) | {runs}) + [runs + 1]:
        started = time.monotonic()
        with condition:
            allowed[0] = checkpoint
            condition.notify_all()
        while len(station.ends) < checkpoint and station.process.poll() is None:
            time.sleep(0.005)
        busy += time.monotonic() - started
        if checkpoint <= runs:
            time.sleep(0.5)  # the last run's threads have ended
            samples[checkpoint] = station.usage()
    station.wait(60)
    with condition:
        plugged[0] = runs + 2
        condition.notify_all()
    for worker in workers:
        worker.join(timeout=60)
    with sqlite3.connect(db) as store:
        recorded, distinct = store.execute("SELECT COUNT(*), COUNT(DISTINCT started || port) FROM runs").fetchone()
        completed = store.execute("SELECT COUNT(*) FROM runs WHERE outcome = 'completed'").fetchone()[0]
    return dict(seconds=busy, rate=(runs + 1) / busy, samples=samples, ends=len(station.ends),
                recorded=recorded, distinct=distinct, completed=completed)


def idle(work, programs, seconds):
    """Stations of each program, watching an empty folder at once: their voluntary context
    switches over `seconds`, after a second to settle."""
    stations = []
    for index, program in enumerate(programs):
        watch = work / f"watch-idle-{index}"
        watch.mkdir()
        stations.append(Station(work, watch, work / f"idle-{index}.db", 1, 115200, program))
    time.sleep(1)
    before = [station.switches() for station in stations]
    time.sleep(seconds)
    after = [station.switches() for station in stations]
    for station in stations:
        station.process.terminate()
        station.process.wait(timeout=30)
    return [b - a for a, b in zip(before, after)]


def measure(work, ram, options, label):
    """(a) to (c) for the build in `tovrin`; the figures, printed as they come."""
    alone = statistics.median(parallel(work, 1, f"alone{label}{n}")[0] for n in range(3))
    many = parallel(work, options.devices, f"many{label}")
    print(f"(a) {options.devices} devices plugged at once at 115200 baud, {options.size} bytes each: the slowest "
          f"line ratio {max(many):.4f}, the fastest {min(many):.4f}; one device alone {alone:.4f} (median of 3): "
          f"difference {max(many) - alone:+.4f} (goal <= 0.05)")
    # Disk, RAM disk, RAM disk, disk: a drift of the machine's speed falls on both alike.
    results = {"disk": [], "RAM disk": []}
    for round, place in enumerate(("disk", "RAM disk", "RAM disk", "disk")):
        db = (work / "disk" if place == "disk" else ram) / f"records-{label}{round}.db"
        results[place].append(soak(work, options.soak, options.slots, db, [50]))
    disk = results["disk"][0]
    first, last = disk["samples"][50], disk["samples"][options.soak]
    print(f"(b) soak of {options.soak} runs (and one to end it), {options.slots} slots, unpaced, store on disk: "
          f"{disk['seconds']:.1f} s, {disk['ends']} runs ended, {disk['recorded']} recorded "
          f"({disk['distinct']} distinct), {disk['completed']} completed")
    for name, sample in (("run 50", first), (f"run {options.soak}", last)):
        print(f"    idle after {name:9}: {sample[0]} open file descriptors, {sample[1]} threads, "
              f"{sample[2]} KiB resident")
    growth = 100 * (last[2] - first[2]) / first[2]
    print(f"    growth: fds {last[0] - first[0]:+d}, threads {last[1] - first[1]:+d}, memory {growth:+.1f} %")
    disk_rate = statistics.mean(run["rate"] for run in results["disk"])
    ram_rate = statistics.mean(run["rate"] for run in results["RAM disk"])
    print(f"(c) runs per second (mean of two soaks each): store on disk {disk_rate:.2f}, on a RAM disk "
          f"{ram_rate:.2f}: ratio {disk_rate / ram_rate:.4f} (goal >= 0.95)")
    return {"(a) slowest line ratio of many": max(many), "(a) one alone": alone,
            "(b) soak seconds": disk["seconds"], "(b) memory growth %": growth,
            "(c) runs/s on disk": disk_rate, "(c) runs/s on RAM disk": ram_rate}


def main():
    global tovrin
    parser = argparse.ArgumentParser()
    parser.add_argument("--devices", type=int, default=32)
    parser.add_argument("--size", type=int, default=32 * 1024, help="program file bytes")
    parser.add_argument("--soak", type=int, default=1000)
    parser.add_argument("--slots", type=int, default=4)
    parser.add_argument("--idle", type=int, default=60, help="seconds of the idle measure")
    parser.add_argument("--compare", metavar="OLD_TOVRIN", help="also measure an earlier build of tovrin")
    options = parser.parse_args()
    for path in (TOVRIN, SIM, MKEXAMPLE):
        if not path.exists():
            sys.exit(f"{path} is not built: cmake --preset native-release && cmake --build build/native-release")
    work = Path(tempfile.mkdtemp(prefix="tovrin-station-bench."))
    ram = Path(tempfile.mkdtemp(prefix="tovrin-station-bench.", dir="/dev/shm"))
    try:
        for folder in ("logs", "summaries", "disk"):
            (work / folder).mkdir()
        subprocess.run([str(MKEXAMPLE), "--bin", str(work / "boot.bin"), "--size", "960"], check=True)
        subprocess.run([str(MKEXAMPLE), "--b86", str(work / "program.b86"), "--size", str(options.size)], check=True)
        (work / "bench.cfg").write_text("[LoadingSteps]\r\nStep1=Benchmark\r\n[Step1]\r\nAckByte=197\r\n"
                                        "BootFile=boot.bin\r\nFirmware=program.b86\r\n")
        builds = [("after", TOVRIN)] + ([("before", Path(options.compare).resolve())] if options.compare else [])
        figures = {}
        for label, program in builds:
            tovrin = program
            print(f"== {label}: {program}")
            figures[label] = measure(work, ram, options, label)
        woken = idle(work, [program for _, program in builds], options.idle)
        for (label, _), count in zip(builds, woken):
            print(f"(d) {label}: an idle station's voluntary context switches over {options.idle} s: {count} "
                  f"(goal <= {5 * options.idle // 60})")
        if options.compare:
            print("(e) after / before, in one run:")
            for key in figures["after"]:
                after, before = figures["after"][key], figures["before"][key]
                ratio = f"{after / before:.4f}" if before else "-"
                print(f"    {key:32} before {before:10.4f}  after {after:10.4f}  after/before {ratio}")
            print(f"    {'(d) idle context switches':32} before {woken[1]:10d}  after {woken[0]:10d}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
        shutil.rmtree(ram, ignore_errors=True)


if __name__ == "__main__":
    main()
