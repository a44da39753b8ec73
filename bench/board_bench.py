#!/usr/bin/env python3
"""Board benchmark: `tovrin board` over a line's record store, in one run:

  (a) a store of ROWS runs over the last DAYS days (a million over six weeks is about 24,000 a
      day, a 32-slot line's pace): four stations of 32 ports each, about 3 % failed with one of
      three errors, and the four stations' heartbeats; the board on it: the time from its start
      to its line, the time of `/`, `/api/runs?limit=50` and `/metrics`, the first request and
      then the median and the max of REQUESTS more (goal: each under 100 ms), and the processor
      the board takes alone (it reads the store once a second); the same with the rows on a
      PostgreSQL server (a throw-away cluster, tests/support/pg_server.py; --no-server leaves
      it out);
  (b) CLIENTS clients polling `/live` once a second beside a station loading DEVICES devices
      plugged at once at 115200 baud into that store: the slowest line ratio with the clients
      and without (goal: within 0.01 of each other), the clients' answer times and the
      processor the board takes.

  bench/board_bench.py [--tovrin TOVRIN] [--sim SIM] [--mkexample MKEXAMPLE] [--rows 1000000]
                       [--days 42] [--requests 20] [--clients 50] [--devices 32] [--size BYTES]
                       [--no-server]

The programs default to the native-release build. tovrin makes the stores (a station that
records one run into each); the benchmark adds the rows in bulk, shaped like the one tovrin
wrote.
"""
import argparse
import http.client
import json
import os
import queue
import re
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from contextlib import closing
from datetime import datetime, timezone
from pathlib import Path
from urllib.parse import urlsplit

import station_bench
from line_bench import DATABASE, fill, quoted, recorded_once, template_of
from station_bench import MKEXAMPLE, SIM, TOVRIN, parallel

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "support"))
from pg_server import PgServer  # noqa: E402

STATIONS, PORTS = 4, 32
ERRORS = [(204, 3, "*** No Ack received (Timeout)"),
          (152, 0x48F, "*** Error while executing receive thread: Code=48f Line: 145"),
          (191, 2, "Failed to open COM port {port}.")]
ROUTES = ["/", "/api/runs?limit=50", "/metrics"]
IDLE_S = 5  # seconds over which the board's own reading is measured


class LineRows:
    """Runs 1..n of a line: the row tovrin wrote (`template`, a dict of its columns) with a time,
    a station, a port, a device and a run id of their own. Run i starts at base + i * spacing on
    station i % 4, port (i / 4) % 32 of it; about 3 in 100 fail (a hash of i picks them), with
    one of three errors; run ids are distinct for distinct i."""

    NAMES = ("started, finished, host, station, port, usb_vendor, usb_product, usb_serial, configuration,"
             " configuration_sha256, steps, outcome, error_id, error_code, error_text, bytes, seconds, log, uuid,"
             " pid, log_file, system_errno, system_error")
    SHAPE = ("f AS (SELECT i, t, ((i * 2654435761) % 1000003) % 100 < 3 AS failed, i % 3 AS kind FROM n),"
             " r AS (SELECT *, CASE WHEN failed THEN 6.035 + (i % 89) / 1000.0 ELSE 3.1 + (i % 400) / 1000.0 END"
             " AS seconds FROM f)")

    def __init__(self, template, base, spacing):
        self.template, self.base, self.spacing = template, base, spacing
        self.logs = str(Path(template["log_file"]).parent)

    def columns(self, concat, hexed, stamp, later, as_uuid, as_json):
        """The SELECT list over r (i, t, failed, kind, seconds) in a store's SQL, given how it
        joins texts, writes hex, a time and a time `seconds` later, and casts a run id and steps."""
        t = self.template

        def pick(index):
            return "CASE WHEN failed THEN CASE kind " + " ".join(
                f"WHEN {k} THEN {quoted(error[index])}" if index == 2 else f"WHEN {k} THEN {error[index]}"
                for k, error in enumerate(ERRORS)) + " END END"
        port = concat("'/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_L'", "(i % 4 + 1)", "'S'", "((i / 4) % 32)",
                      "'-if00-port0'")
        uuid = concat(hexed("(i * 40503) % 4294967296", 8), "'-'", hexed("(i * 9973) % 65536", 4), "'-4'",
                      hexed("(i * 31) % 4096", 3), "'-'", hexed("32768 + (i * 7) % 16384", 4), "'-'",
                      hexed("(i * 2654435761) % 281474976710656", 12))
        return ", ".join([
            stamp("t"), later("t", "seconds"), concat("'line1-pc'", "(i % 4 + 1)"),
            concat("'line1-station'", "(i % 4 + 1)"), port, "'0403'", "'6001'", concat("'L'", "i"),
            quoted(t["configuration"]), quoted(t["configuration_sha256"]), as_json(quoted(t["steps"])),
            "CASE WHEN failed THEN 'failed' ELSE 'completed' END", pick(0), pick(1), pick(2),
            f"CASE WHEN failed THEN 3 ELSE {int(t['bytes'])} END", "seconds", quoted(t["log"]), as_uuid(uuid),
            "4000 + i / 24000", concat(quoted(self.logs + "/"), uuid, "'.log'"), "NULL", "NULL"])

    def sqlite(self, store, first, last):
        def stamp(t):
            return f"strftime('%Y-%m-%dT%H:%M:%fZ', {t}, 'unixepoch')"
        columns = self.columns(lambda *parts: " || ".join(parts),
                               lambda value, width: f"printf('%0{width}x', {value})",
                               stamp, lambda t, seconds: stamp(f"{t} + {seconds}"), str, str)
        store.execute(f"WITH RECURSIVE n0(i) AS (SELECT ? UNION ALL SELECT i + 1 FROM n0 WHERE i < ?),"
                      f" n AS (SELECT i, ? + i * ? AS t FROM n0), {self.SHAPE} "
                      f"INSERT INTO runs ({self.NAMES}) SELECT {columns} FROM r",
                      (first, last, self.base, self.spacing))

    def postgres(self, first, last):
        columns = self.columns(lambda *parts: " || ".join(f"({part})::text" for part in parts),
                               lambda value, width: f"lpad(to_hex(({value})::bigint), {width}, '0')", str,
                               lambda t, seconds: f"{t} + {seconds} * interval '1 second'",
                               lambda value: f"({value})::uuid", lambda value: f"{value}::jsonb")
        return (f"INSERT INTO tovrin.runs ({self.NAMES}) WITH n AS (SELECT i, to_timestamp({self.base} + i * "
                f"{self.spacing}) AS t FROM generate_series({first}::bigint, {last}::bigint) AS i), {self.SHAPE} "
                f"SELECT {columns} FROM r;")


def heartbeats(sql, beat):
    """The four stations' beats, copied from the one tovrin wrote (`beat`, a dict of its columns):
    online, 32 slots each, most passed, a few loading or failed; each written by `sql`."""
    now = datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.000Z")
    for number in range(1, STATIONS + 1):
        slots = []
        for slot in range(PORTS):
            state = "loading" if slot % 8 == 3 else "failed" if slot == 17 else "passed"
            slots.append({"port": f"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_L{number}S{slot}-if00-port0",
                          "name": f"L{number}S{slot}", "state": state, "phase": "program" if state == "loading" else "",
                          "step": 1, "steps": 1, "percentage": 40.0 if state == "loading" else 100.0,
                          "seconds": 3.2, "run_id": "", "error": ERRORS[0][2] if state == "failed" else ""})
        sql({**beat, "station": f"line1-station{number}", "seen": now, "stopped": "", "slots": slots})


def beats_into_file(file):
    with closing(sqlite3.connect(file)) as store:
        store.row_factory = sqlite3.Row
        if not store.execute("SELECT 1 FROM sqlite_master WHERE name = 'stations'").fetchone():
            return "no stations table: no heartbeats"
        beat = dict(store.execute("SELECT * FROM stations LIMIT 1").fetchone())

        def write(row):
            row["slots"] = json.dumps(row["slots"])
            store.execute(f"INSERT OR REPLACE INTO stations ({', '.join(row)}) VALUES ({', '.join('?' * len(row))})",
                          list(row.values()))
        heartbeats(write, beat)
        store.commit()
    return f"{STATIONS} stations' heartbeats"


def beats_into_server(server):
    if server.psql(DATABASE, "SELECT to_regclass('tovrin.stations') IS NOT NULL").strip() != "t":
        return "no tovrin.stations table: no heartbeats"
    rows = server.psql(DATABASE, "SELECT row_to_json(s) FROM tovrin.stations s LIMIT 1").strip()
    if not rows:
        return "no heartbeat to copy"
    beat = json.loads(rows.splitlines()[0])
    statements = []
    heartbeats(lambda row: statements.append(
        f"INSERT INTO tovrin.stations SELECT * FROM json_populate_record(NULL::tovrin.stations, "
        f"{quoted(json.dumps({**row, 'stopped': None}))}::json) ON CONFLICT DO NOTHING;"), beat)
    server.psql(DATABASE, "\n".join(statements))
    return f"{STATIONS} stations' heartbeats"


class NoServer:
    """fill()'s server when the benchmark runs without one."""

    def psql(self, database, sql):
        return ""


class Board:
    """tovrin board on a store; `ready` the seconds from its start to its line."""

    def __init__(self, db, work):
        started = time.monotonic()
        self.process = subprocess.Popen([str(station_bench.tovrin), "board", "--db", str(db), "--listen",
                                         "127.0.0.1:0"], cwd=work, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True)
        line = self.process.stdout.readline()
        found = re.search(r"board: (http://\S+/)", line)
        if not found:
            self.process.kill()
            sys.exit(f"the board did not start on {db}: {line!r} {self.process.stderr.read()}")
        self.url = urlsplit(found.group(1))
        self.ready = time.monotonic() - started

    def cpu(self):
        """The processor seconds the board has used so far."""
        fields = Path(f"/proc/{self.process.pid}/stat").read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def get(self, route):
        """One request on a connection of its own: (seconds, status, bytes)."""
        started = time.perf_counter()
        connection = http.client.HTTPConnection(self.url.hostname, self.url.port, timeout=60)
        try:
            connection.request("GET", route)
            answer = connection.getresponse()
            body = answer.read()
        finally:
            connection.close()
        return time.perf_counter() - started, answer.status, len(body)

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)


def requests(store, db, work, count):
    """(a) on one store: each route's first request, then `count` more."""
    board = Board(db, work)
    try:
        print(f"    {store:6} the board's line {board.ready * 1000:.0f} ms after its start")
        for route in ROUTES:
            first, status, size = board.get(route)
            if status != 200:
                sys.exit(f"{route} on the {store}: status {status}")
            times = [board.get(route)[0] for _ in range(count)]
            median, longest = statistics.median(times) * 1000, max(times) * 1000
            print(f"    {store:6} {route:20} first {first * 1000:7.1f} ms, then median {median:6.1f} ms, max "
                  f"{longest:6.1f} ms ({count} requests, {size} bytes; goal < 100 ms)")
        used, started = board.cpu(), time.monotonic()
        time.sleep(IDLE_S)
        print(f"    {store:6} the board alone, reading the store once a second: "
              f"{100 * (board.cpu() - used) / (time.monotonic() - started):.1f} % of a processor over {IDLE_S} s")
    finally:
        board.stop()


def pollers(board, clients, stop, latencies, errors):
    """`clients` threads each asking for /live once a second, their phases spread over the second."""
    def poll(number):
        next_at = time.monotonic() + number / clients
        while not stop.wait(max(0.0, next_at - time.monotonic())):
            try:
                took, status, _ = board.get("/live")
                (latencies if status == 200 else errors).put(took if status == 200 else status)
            except OSError as error:
                errors.put(str(error))
            next_at += 1.0
    workers = [threading.Thread(target=poll, args=(n,), daemon=True) for n in range(clients)]
    for worker in workers:
        worker.start()
    return workers


def beside_clients(work, db, options):
    """(b): the slowest line ratio of a station into the store with the board polled by the
    clients and without, in the order without, with, with, without, so that a drift of the
    machine's speed falls on both alike."""
    board = Board(db, work)
    results, latencies, errors = {"without": [], "with": []}, queue.Queue(), queue.Queue()
    cpu = {"without": [0.0, 0.0], "with": [0.0, 0.0]}  # the board's processor seconds, wall seconds
    try:
        for round, clients in enumerate(("without", "with", "with", "without")):
            stop = threading.Event()
            workers = pollers(board, options.clients, stop, latencies, errors) if clients == "with" else []
            if workers:
                time.sleep(2)  # every client has asked at least once: the load is on
            used, started = board.cpu(), time.monotonic()
            results[clients].append(max(parallel(work, options.devices, f"board-{clients}{round}", db=db)))
            cpu[clients][0] += board.cpu() - used
            cpu[clients][1] += time.monotonic() - started
            stop.set()
            for worker in workers:
                worker.join(timeout=60)
    finally:
        board.stop()
    without, beside = statistics.mean(results["without"]), statistics.mean(results["with"])
    answered = sorted(latencies.queue)
    print(f"(b) {options.devices} devices plugged at once at 115200 baud, {options.size} bytes each, into the store "
          f"of (a): the slowest line ratio without clients {without:.4f} "
          f"({', '.join(f'{r:.4f}' for r in results['without'])}), beside {options.clients} clients polling /live "
          f"once a second {beside:.4f} ({', '.join(f'{r:.4f}' for r in results['with'])}): difference "
          f"{beside - without:+.4f} (goal within 0.01)")
    if answered:
        print(f"    /live answered {len(answered)} times: median {statistics.median(answered) * 1000:.1f} ms, "
              f"95th percentile {answered[int(len(answered) * 0.95)] * 1000:.1f} ms, max {answered[-1] * 1000:.1f} ms;"
              f" {errors.qsize()} errors {list(errors.queue)[:3]}")
    print(f"    the board's processor use during the stations' runs: "
          f"{100 * cpu['without'][0] / cpu['without'][1]:.1f} % without the clients, "
          f"{100 * cpu['with'][0] / cpu['with'][1]:.1f} % with them")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tovrin", type=Path, default=TOVRIN)
    parser.add_argument("--sim", type=Path, default=SIM)
    parser.add_argument("--mkexample", type=Path, default=MKEXAMPLE)
    parser.add_argument("--rows", type=int, default=1000000)
    parser.add_argument("--days", type=float, default=42)
    parser.add_argument("--requests", type=int, default=20, help="timed requests of each route")
    parser.add_argument("--clients", type=int, default=50)
    parser.add_argument("--devices", type=int, default=32)
    parser.add_argument("--size", type=int, default=32 * 1024, help="program file bytes")
    parser.add_argument("--no-server", action="store_true", help="leave out the store on a PostgreSQL server")
    options = parser.parse_args()
    for path in (options.tovrin, options.sim, options.mkexample):
        if not path.exists():
            sys.exit(f"{path} is not built: cmake --preset native-release && cmake --build build/native-release")
    station_bench.tovrin, station_bench.SIM = options.tovrin.resolve(), options.sim.resolve()
    work = Path(tempfile.mkdtemp(prefix="tovrin-board-bench."))
    server = None if options.no_server else PgServer(work / "pg")
    try:
        for folder in ("logs", "summaries"):
            (work / folder).mkdir()
        subprocess.run([str(options.mkexample), "--bin", str(work / "boot.bin"), "--size", "960"], check=True)
        subprocess.run([str(options.mkexample), "--b86", str(work / "program.b86"), "--size", str(options.size)],
                       check=True)
        (work / "bench.cfg").write_text("[LoadingSteps]\r\nStep1=Benchmark\r\n[Step1]\r\nAckByte=197\r\n"
                                        "BootFile=boot.bin\r\nFirmware=program.b86\r\n")
        file = work / "line.db"
        recorded_once(work, "board-file", file)
        if server:
            server.start()
            server.createdb(DATABASE)
            uri = server.uri(DATABASE)
            recorded_once(work, "board-server", uri, ("--outbox", str(work / "outbox.db")))
        spacing = options.days * 86400 / options.rows
        rows = LineRows(template_of(file), time.time() - options.days * 86400, spacing)
        seconds = fill(server or NoServer(), file, rows, options)
        told = beats_into_file(file)
        with closing(sqlite3.connect(file)) as store:
            total, failed, errors = store.execute("SELECT count(*), sum(outcome = 'failed'), "
                                                  "count(DISTINCT error_text) FROM runs").fetchone()
            day = store.execute("SELECT count(*) FROM runs WHERE started >= strftime('%Y-%m-%dT%H:%M:%fZ', 'now', "
                                "'-1 day')").fetchone()[0]
        print(f"(a) {total} rows in the file over {options.days:g} days ({day} in the last 24 h), "
              f"{100 * failed / total:.1f} % failed with {errors} distinct errors, {STATIONS} stations of {PORTS} "
              f"ports, {told}; filled in {seconds['file']:.1f} s"
              + (f"; the same on the server in {seconds['server']:.1f} s "
                 f"({beats_into_server(server)})" if server else ""))
        requests("file", file, work, options.requests)
        if server:
            requests("server", uri, work, options.requests)
            server.stop()
        beside_clients(work, file, options)
    finally:
        if server:
            server.remove()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
