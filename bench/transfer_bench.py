#!/usr/bin/env python3
"""Transfer benchmark: a program file of 256 KiB sent to the controller simulator through a pty,
by Tovrin.exe under Wine (batch mode) and by the Linux tool `tovrin`, in one run:

  (a) the controller answers at once on an unpaced pty: blocks per second (host overhead);
  (b) the simulator paces the line at 115200 baud (10 bits per byte): the ratio of the measured
      transfer time to the time the transfer's bytes need on the line (goal <= 1.02); natively
      also at 921600 baud (goal <= 1.05), a rate Tovrin.exe does not offer;
  (c) the engine alone, natively with real threads (engine_bench of the native-release build):
      its own time per block round trip, over the unit tests' platform and over the POSIX one;
  (d) natively, 8 simulated devices in parallel at 115200 baud: the whole run against one
      device alone (goal <= 1.10).

Under Wine 8.0 a pending WaitCommEvent learns of a received byte by polling every millisecond,
so Wine's (a) and (b) carry about 1 ms per block that is Wine's, not the program's.

  bench/transfer_bench.py [--size BYTES] [--no-wine] [--compare OLD_TOVRIN]

--compare measures the Linux tool against an earlier build of it in the same run, alternating
the two: blocks per second unpaced, the line ratio at 115200 and 921600 baud, and the CPU time
per device at 115200 baud (as a share of one core), each the median of three runs.

Needs the native build (simulator, pty shim, example generator), the native-release build
(tovrin, engine_bench) and, unless --no-wine, the mingw-x64 build (Tovrin.exe).
"""
import argparse
import os
import resource
import statistics
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
NATIVE = REPO / "build" / "native"
RELEASE = REPO / "build" / "native-release"
SIM, SHIM, MKEXAMPLE = RELEASE / "bin/tovrin-sim", NATIVE / "tests/support/libtovrin_ptyshim.so", RELEASE / "bin/tovrin-mkexample"
TOVRIN_EXE = REPO / "build" / "mingw-x64" / "bin" / "Tovrin.exe"
TOVRIN = RELEASE / "bin" / "tovrin"
ENGINE_BENCH = RELEASE / "bench" / "engine_bench"


def wine_environment(wine_dir):
    script = f'export TOVRIN_WINE_DIR="{wine_dir}"; source "{REPO}/tests/support/wine-env.sh" && wine_start >&2 && ' \
             'printf "%s\\n%s\\n%s\\n" "$WINE" "$WINEPREFIX" "$DISPLAY"'
    wine, prefix, display = subprocess.run(["bash", "-c", script], check=True, capture_output=True,
                                           text=True).stdout.split("\n")[:3]
    env = dict(os.environ, WINEPREFIX=prefix, DISPLAY=display, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
               LD_PRELOAD=str(SHIM), LANG="en_US.UTF-8")
    return wine, Path(prefix), env


def start_simulator(work, link, baud, tag):
    summary = work / f"summary-{tag}"
    sim = subprocess.Popen([str(SIM), "--step", f"ack=197,program={work / 'program.b86'}", "--link", str(link),
                            "--summary", str(summary), "--baud", str(baud), "--idle-timeout", "120"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    sim.stdout.readline()
    for _ in range(100):
        if os.path.islink(link):
            break
        time.sleep(0.01)
    return sim, summary


def finish(sim, summary_file, returncode, what):
    sim.wait(timeout=30)
    summary = dict(line.split("=", 1) for line in summary_file.read_text().splitlines())
    if returncode != 0 or summary.get("end") != "complete":
        sys.exit(f"{what}: transfer failed: exit {returncode}, {summary}")
    return summary


def wine_transfer(work, wine, prefix, env, baud):
    sim, summary = start_simulator(work, prefix / "dosdevices" / "com2", baud, f"wine-{baud}")
    cfg = "Z:" + str(work / "bench.cfg").replace("/", "\\")
    result = subprocess.run([wine, str(TOVRIN_EXE), cfg, "-C2", "-B115200", "-X", "-L", "bench.log"], cwd=work,
                            env=env, capture_output=True, timeout=600)
    return finish(sim, summary, result.returncode, "Tovrin.exe")


def native_transfer(work, baud, devices=1, tovrin=TOVRIN, usage=None):
    """tovrin on `devices` simulated ports at once; the summaries and the run's wall time. With
    `usage` (a list), the CPU seconds tovrin took are appended to it."""
    sims = [start_simulator(work, work / f"tty{baud}.{i}", baud, f"native-{baud}-{devices}-{i}")
            for i in range(devices)]
    ports = sum((["-C", str(work / f"tty{baud}.{i}")] for i in range(devices)), [])
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.monotonic()
    result = subprocess.run([str(tovrin), "bench.cfg", *ports, "-B", str(max(baud, 9600)), "-L", "bench.log"],
                            cwd=work, capture_output=True, timeout=600)
    seconds = time.monotonic() - started
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if usage is not None:
        usage.append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
    return [finish(sim, summary, result.returncode, "tovrin") for sim, summary in sims], seconds


def compare(work, old, rounds=3):
    """The tool now against an earlier build, alternating, medians of `rounds` runs each."""
    figures = {"old": {}, "new": {}}
    for _ in range(rounds):
        for name, tovrin in (("old", old), ("new", TOVRIN)):
            row = figures[name]
            fast = native_transfer(work, 0, tovrin=tovrin)[0][0]
            row.setdefault("blocks/s", []).append(blocks_per_second(fast)[0])
            cpu = []
            paced = native_transfer(work, 115200, tovrin=tovrin, usage=cpu)[0][0]
            measured, _, ratio = line_ratio(paced, 115200)
            row.setdefault("ratio 115200", []).append(ratio)
            row.setdefault("CPU % of a core at 115200", []).append(100 * cpu[0] / measured)
            row.setdefault("ratio 921600", []).append(line_ratio(native_transfer(work, 921600, tovrin=tovrin)[0][0],
                                                                 921600)[2])
    print(f"(e) before and after, medians of {rounds} alternating runs:")
    for key in figures["old"]:
        before, after = statistics.median(figures["old"][key]), statistics.median(figures["new"][key])
        print(f"    {key:28} before {before:10.4f}  after {after:10.4f}  after/before {after / before:.4f}")


def blocks_per_second(summary):
    seconds = int(summary["first_to_last_us"]) / 1e6
    return int(summary["blocks"]) / seconds, seconds * 1e6 / int(summary["blocks"])


def line_ratio(summary, baud):
    measured = int(summary["first_to_last_us"]) / 1e6
    line = (int(summary["received_bytes"]) + int(summary["sent_bytes"])) * 10 / baud
    return measured, line, measured / line


def reply(summary):
    """The host's mean reply time as the device sees it: from its answer leaving to the next bytes."""
    return f"host reply {summary.get('host_reply_us', '?')} us"



def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=256 * 1024)
    parser.add_argument("--no-wine", action="store_true", help="measure the Linux tool only")
    parser.add_argument("--compare", metavar="OLD_TOVRIN", help="also measure an earlier build of tovrin against this one")
    options = parser.parse_args()
    needed = [SIM, MKEXAMPLE, TOVRIN, ENGINE_BENCH] + ([] if options.no_wine else [SHIM, TOVRIN_EXE])
    for path in needed:
        if not path.exists():
            sys.exit(f"{path} is not built: run scripts/build.sh native mingw-x64 and "
                     "cmake --preset native-release && cmake --build build/native-release")

    work = Path(tempfile.mkdtemp(prefix="tovrin-bench."))
    wine = None
    try:
        subprocess.run([str(MKEXAMPLE), "--bin", str(work / "boot.bin"), "--size", "960"], check=True)
        subprocess.run([str(MKEXAMPLE), "--b86", str(work / "program.b86"), "--size", str(options.size)], check=True)
        (work / "bench.cfg").write_text("[LoadingSteps]\r\nStep1=Benchmark\r\n[Step1]\r\nAckByte=197\r\n"
                                        "BootFile=boot.bin\r\nFirmware=program.b86\r\n")
        if not options.no_wine:
            wine, prefix, env = wine_environment(work / "wine")
            # Not the i686 build: it runs only on machines that execute 32-bit programs, and the
            # figures of every machine must be of one program.
            print(f"Tovrin.exe: the x86_64 build ({TOVRIN_EXE.relative_to(REPO)}) under 64-bit Wine")

        native_fast = native_transfer(work, 0)[0][0]
        print(f"program file: {options.size} bytes in {native_fast['blocks']} blocks")
        rate, trip = blocks_per_second(native_fast)
        print(f"(a) unpaced pty, immediate answers: tovrin {rate:.0f} blocks/s ({trip:.0f} us per block round trip, "
              f"{reply(native_fast)})")
        if wine:
            summary = wine_transfer(work, wine, prefix, env, 0)
            rate, trip = blocks_per_second(summary)
            print(f"                                    Tovrin.exe under Wine {rate:.0f} blocks/s ({trip:.0f} us, "
                  f"{reply(summary)})")

        for baud in (115200, 921600):
            summary = native_transfer(work, baud)[0][0]
            measured, line, ratio = line_ratio(summary, baud)
            goal = 1.02 if baud == 115200 else 1.05
            print(f"(b) paced at {baud} baud: tovrin {measured:.3f} s against {line:.3f} s of line time: ratio "
                  f"{ratio:.4f} (goal <= {goal}; {reply(summary)})")
            if wine and baud == 115200:
                summary = wine_transfer(work, wine, prefix, env, baud)
                measured, line, ratio = line_ratio(summary, baud)
                print(f"                          Tovrin.exe under Wine {measured:.3f} s: ratio {ratio:.4f} "
                      f"({reply(summary)})")

        print("(c) " + subprocess.run([str(ENGINE_BENCH), str(options.size), "115200"], check=True,
                                      capture_output=True, text=True).stdout.strip().replace("\n", "\n    "))

        _, alone = native_transfer(work, 115200)
        summaries, together = native_transfer(work, 115200, devices=8)
        worst = max(line_ratio(summary, 115200)[2] for summary in summaries)
        print(f"(d) 8 devices in parallel at 115200 baud: {together:.2f} s against {alone:.2f} s for one alone: "
              f"ratio {together / alone:.4f} (goal <= 1.10); the slowest device's line ratio {worst:.4f}")
        if options.compare:
            compare(work, Path(options.compare).resolve())
    finally:
        if wine:
            subprocess.run(["bash", "-c", f'export TOVRIN_WINE_DIR="{work / "wine"}"; '
                            f'source "{REPO}/tests/support/wine-env.sh" && wine_stop'], capture_output=True)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
