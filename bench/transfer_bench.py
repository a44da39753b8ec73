#!/usr/bin/env python3
"""Transfer benchmark: Tovrin.exe under Wine sends a program file of 256 KiB to the controller
simulator through a pty, in batch mode, twice:

  (a) the controller answers at once on an unpaced pty: blocks per second (host overhead);
  (b) the simulator paces the line at 115200 baud (10 bits per byte): the ratio of the measured
      transfer time to the time the transfer's bytes need on the line. Goal: at most 1.02.
  (c) the engine alone, natively with real threads (engine_bench of the native-release
      build): its own time per block round trip, and the ratio that adds at that baud rate.

Under Wine 8.0 a pending WaitCommEvent learns of a received byte by polling every millisecond,
so (a) and (b) carry about 1 ms per block that is Wine's, not the program's; (c) shows what the
program itself adds.

  bench/transfer_bench.py [--size BYTES] [--baud RATE]

Needs the native build (simulator, pty shim, example generator) and the mingw-x64 build
(Tovrin.exe); scripts/main-job.sh or scripts/build.sh makes them.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
NATIVE = REPO / "build" / "native"
SIM, SHIM, MKEXAMPLE = NATIVE / "bin/tovrin-sim", NATIVE / "tests/support/libtovrin_ptyshim.so", NATIVE / "bin/tovrin-mkexample"
TOVRIN = REPO / "build" / "mingw-x64" / "bin" / "Tovrin.exe"
ENGINE_BENCH = REPO / "build" / "native-release" / "bench" / "engine_bench"


def wine_environment(wine_dir):
    script = f'export TOVRIN_WINE_DIR="{wine_dir}"; source "{REPO}/tests/support/wine-env.sh" && wine_start >&2 && ' \
             'printf "%s\\n%s\\n%s\\n" "$WINE" "$WINEPREFIX" "$DISPLAY"'
    wine, prefix, display = subprocess.run(["bash", "-c", script], check=True, capture_output=True,
                                           text=True).stdout.split("\n")[:3]
    env = dict(os.environ, WINEPREFIX=prefix, DISPLAY=display, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
               LD_PRELOAD=str(SHIM), LANG="en_US.UTF-8")
    return wine, Path(prefix), env


def transfer(work, wine, prefix, env, baud):
    link = prefix / "dosdevices" / "com2"
    summary_file = work / f"summary-{baud}"
    sim = subprocess.Popen([str(SIM), "--step", f"ack=197,program={work / 'program.b86'}", "--link", str(link),
                            "--summary", str(summary_file), "--baud", str(baud), "--idle-timeout", "120"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    sim.stdout.readline()
    cfg = "Z:" + str(work / "bench.cfg").replace("/", "\\")
    result = subprocess.run([wine, str(TOVRIN), cfg, "-C2", "-B115200", "-X", "-L", "bench.log"], cwd=work, env=env,
                            capture_output=True, timeout=600)
    sim.wait(timeout=30)
    summary = dict(line.split("=", 1) for line in summary_file.read_text().splitlines())
    if result.returncode != 0 or summary.get("end") != "complete":
        sys.exit(f"transfer failed: exit {result.returncode}, {summary}")
    return summary


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=256 * 1024)
    parser.add_argument("--baud", type=int, default=115200)
    options = parser.parse_args()
    for needed in (SIM, SHIM, MKEXAMPLE, TOVRIN):
        if not needed.exists():
            sys.exit(f"{needed} is not built: run scripts/build.sh native mingw-x64")

    work = Path(tempfile.mkdtemp(prefix="tovrin-bench."))
    try:
        subprocess.run([str(MKEXAMPLE), "--bin", str(work / "boot.bin"), "--size", "960"], check=True)
        subprocess.run([str(MKEXAMPLE), "--b86", str(work / "program.b86"), "--size", str(options.size)], check=True)
        (work / "bench.cfg").write_text("[LoadingSteps]\r\nStep1=Benchmark\r\n[Step1]\r\nAckByte=197\r\n"
                                        "BootFile=boot.bin\r\nFirmware=program.b86\r\n")
        wine, prefix, env = wine_environment(work / "wine")

        fast = transfer(work, wine, prefix, env, 0)
        blocks = int(fast["blocks"])
        seconds = int(fast["first_to_last_us"]) / 1e6
        print(f"program file: {options.size} bytes in {blocks} blocks")
        print(f"(a) unpaced pty, immediate answers: {blocks / seconds:.0f} blocks/s "
              f"({seconds * 1e6 / blocks:.0f} us per block round trip)")

        paced = transfer(work, wine, prefix, env, options.baud)
        host_bytes = int(paced["received_bytes"])
        device_bytes = int(paced["sent_bytes"])
        measured = int(paced["first_to_last_us"]) / 1e6
        line_both = (host_bytes + device_bytes) * 10 / options.baud
        line_host = host_bytes * 10 / options.baud
        print(f"(b) paced at {options.baud} baud: {measured:.3f} s measured; the bytes need {line_both:.3f} s on the "
              f"line ({host_bytes} sent, {device_bytes} acknowledge bytes back)")
        print(f"    ratio {measured / line_both:.4f} (goal <= 1.02); against the sent bytes alone "
              f"{measured / line_host:.4f}")
        if ENGINE_BENCH.exists():
            print("(c) " + subprocess.run([str(ENGINE_BENCH), str(options.size), str(options.baud)], check=True,
                                          capture_output=True, text=True).stdout.strip())
        else:
            print(f"(c) {ENGINE_BENCH} is not built: cmake --preset native-release && "
                  "cmake --build build/native-release --target engine_bench")
    finally:
        subprocess.run(["bash", "-c", f'export TOVRIN_WINE_DIR="{work / "wine"}"; '
                        f'source "{REPO}/tests/support/wine-env.sh" && wine_stop'], capture_output=True)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
