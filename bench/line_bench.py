#!/usr/bin/env python3
"""Line benchmark: the line's record store on a PostgreSQL server (a throw-away cluster in a
temporary folder, tests/support/pg_server.py), in one run:

  (a) 32 devices plugged at once at 115200 baud into a station whose store is the server
      (--db URI --outbox FILE), beside the same with a file as its store (--db FILE): the slowest
      line ratio of each (goal: within 0.01 of each other);
  (b) `tovrin history --db X --serial S` over a store of ROWS rows of SERIALS devices, S one of
      them, on the file and on the server: the whole command's wall time, the median of 5 runs
      after one warm-up (goal: under 50 ms on both), and the rows it printed;
  (c) shipping after an outage: an outbox holding BACKLOG waiting rows, a station started on it
      with the server and no device: the time from its station_start event to records_shipped
      (goal: under 10 s), and each of those rows on the server once, as the outbox has it.

  bench/line_bench.py [--devices 32] [--size BYTES] [--rows 1000000] [--serials 1000]
                      [--backlog 10000]

The stores are made by tovrin (a station that records one run into each); the benchmark adds
the rows in bulk, shaped like the one tovrin wrote (its steps, log and configuration), with a
USB adapter, a serial number, a station and a run id of their own, one run in 50 failed.

Needs the native-release build (tovrin, tovrin-sim, tovrin-mkexample) and the PostgreSQL server
(scripts/setup.sh installs it).
"""
import argparse
import json
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from contextlib import closing
from pathlib import Path

from station_bench import MKEXAMPLE, SIM, TOVRIN, Station, parallel, plug

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "support"))
from pg_server import PgServer  # noqa: E402

DATABASE = "line"
SPACING = 7.5  # seconds between two runs of the line: four stations, a board each 30 s
# A time on the server as tovrin reads it back (and as a file holds it).
TIME_FORMAT = "'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'"


class ShippingStation(Station):
    """A station whose shipping events are noted with the time they came."""

    def __init__(self, *args, **kwargs):
        self.unshipped, self.shipped = [], threading.Event()
        super().__init__(*args, **kwargs)
        self.started = time.monotonic()  # its station_start event has just been read

    def read(self):
        for line in self.process.stdout:
            event = json.loads(line)
            if event["event"] == "records_unshipped":
                self.unshipped.append(event)
            elif event["event"] == "records_shipped":
                self.shipped_at, self.shipped_event = time.monotonic(), event
                self.shipped.set()

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=60)
        self.reader.join(timeout=10)


def recorded_once(work, tag, db, options=()):
    """One device, unpaced, through a station that records to `db`: so tovrin makes the store."""
    watch = work / f"watch-{tag}"
    watch.mkdir()
    station = Station(work, watch, db, 1, 115200, options=options)
    sim, _ = plug(work, watch / "usb-SIM_ONCE-if00", 0, tag)
    station.wait(60)
    sim.wait(timeout=30)
    if len(station.ends) != 1 or station.ends[0]["outcome"] != "completed":
        sys.exit(f"the run that makes the store {db} did not complete: {station.ends}")


def quoted(text):
    return "NULL" if text is None else "'" + str(text).replace("'", "''") + "'"


class Rows:
    """Runs number first..last of a line: the row tovrin wrote (`template`, a dict of its
    columns) with a time, a station, a device and a run id of their own. Run i is at
    base + i * SPACING; device i % serials; run ids are distinct for distinct i (the last
    group is i times an odd number modulo 2^48)."""

    def __init__(self, template, base, serials):
        self.template, self.base, self.serials = template, base, serials
        self.logs = str(Path(template["log_file"]).parent)

    def serial(self, number):
        return f"A10K{number:04d}"

    def sqlite(self, store, first, last):
        t = self.template
        store.execute(
            "WITH RECURSIVE n(i) AS (SELECT ? UNION ALL SELECT i + 1 FROM n WHERE i < ?), "
            " g AS (SELECT i, ? + i * ? + (i % 997) / 1000.0 AS t, printf('A10K%04d', i % ?) AS serial,"
            "       (i / ?) % 50 = 7 AS failed,"
            "       printf('%08x-%04x-4%03x-%04x-%012x', (i * 40503) % 4294967296, (i * 9973) % 65536,"
            "              (i * 31) % 4096, 32768 + (i * 7) % 16384, (i * 2654435761) % 281474976710656) AS uuid"
            "       FROM n),"
            " r AS (SELECT *, CASE WHEN failed THEN 6.035 + (i % 89) / 1000.0 ELSE 3.1 + (i % 400) / 1000.0 END"
            "       AS seconds FROM g) "
            "INSERT INTO runs (started, finished, host, station, port, usb_vendor, usb_product, usb_serial,"
            " configuration, configuration_sha256, steps, outcome, error_id, error_code, error_text, bytes, seconds,"
            " log, uuid, pid, log_file, system_errno, system_error) "
            "SELECT strftime('%Y-%m-%dT%H:%M:%fZ', t, 'unixepoch'),"
            " strftime('%Y-%m-%dT%H:%M:%fZ', t + seconds, 'unixepoch'),"
            " 'line1-pc' || (i % 4 + 1), 'line1-station' || (i % 4 + 1),"
            " '/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_' || serial || '-if00-port0', '0403', '6001', serial,"
            " ?, ?, ?, CASE WHEN failed THEN 'failed' ELSE 'completed' END,"
            " CASE WHEN failed THEN 204 END, CASE WHEN failed THEN 3 END,"
            " CASE WHEN failed THEN '*** No Ack received (Timeout)' END, CASE WHEN failed THEN 3 ELSE ? END,"
            " seconds, ?, uuid, 4000 + i / 5000,"
            " ? || '/' || strftime('%Y%m%d-%H%M%f', t, 'unixepoch') || '-usb-FTDI_FT232R_USB_UART_' || serial ||"
            " '-if00-port0-' || uuid || '.log', NULL, NULL FROM r",
            (first, last, self.base, SPACING, self.serials, self.serials, t["configuration"],
             t["configuration_sha256"], t["steps"], t["bytes"], t["log"], self.logs))

    def postgres(self, first, last):
        t = self.template
        return f"""
            INSERT INTO tovrin.runs (started, finished, host, station, port, usb_vendor, usb_product, usb_serial,
              configuration, configuration_sha256, steps, outcome, error_id, error_code, error_text, bytes, seconds,
              log, uuid, pid, log_file, system_errno, system_error)
            SELECT t, t + seconds * interval '1 second', 'line1-pc' || (i % 4 + 1), 'line1-station' || (i % 4 + 1),
              '/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_' || serial || '-if00-port0', '0403', '6001', serial,
              {quoted(t["configuration"])}, {quoted(t["configuration_sha256"])}, {quoted(t["steps"])}::jsonb,
              CASE WHEN failed THEN 'failed' ELSE 'completed' END, CASE WHEN failed THEN 204 END,
              CASE WHEN failed THEN 3 END, CASE WHEN failed THEN '*** No Ack received (Timeout)' END,
              CASE WHEN failed THEN 3 ELSE {int(t["bytes"])} END, seconds, {quoted(t["log"])}, uuid::uuid,
              4000 + i / 5000, {quoted(self.logs)} || '/' || to_char(t AT TIME ZONE 'UTC', 'YYYYMMDD-HH24MISS.MS') ||
              '-usb-FTDI_FT232R_USB_UART_' || serial || '-if00-port0-' || uuid || '.log', NULL, NULL
            FROM (SELECT *, CASE WHEN failed THEN 6.035 + (i % 89) / 1000.0 ELSE 3.1 + (i % 400) / 1000.0 END
                            AS seconds
                  FROM (SELECT i, to_timestamp({self.base} + i * {SPACING} + (i % 997) / 1000.0) AS t,
                               'A10K' || lpad((i % {self.serials})::text, 4, '0') AS serial,
                               (i / {self.serials}) % 50 = 7 AS failed,
                               lpad(to_hex((i * 40503) % 4294967296), 8, '0') || '-' ||
                               lpad(to_hex((i * 9973) % 65536), 4, '0') || '-4' ||
                               lpad(to_hex((i * 31) % 4096), 3, '0') || '-' ||
                               to_hex(32768 + (i * 7) % 16384) || '-' ||
                               lpad(to_hex((i * 2654435761) % 281474976710656), 12, '0') AS uuid
                        FROM generate_series({first}::bigint, {last}::bigint) AS i) AS g) AS r;"""


def template_of(db):
    with closing(sqlite3.connect(db)) as store:
        store.row_factory = sqlite3.Row
        return dict(store.execute("SELECT * FROM runs ORDER BY id LIMIT 1").fetchone())


def fill(server, file, rows, options):
    """`options.rows` runs into the file and into the server's table, side by side; the seconds
    each took. The server's table is then vacuumed and analysed, as its autovacuum does after
    such a growth, and both are written out to the disk, so that history meets stores as a
    line's settle, not a disk busy with the filling."""
    seconds = {}

    def on_server():
        started = time.monotonic()
        server.psql(DATABASE, rows.postgres(1, options.rows) + "VACUUM ANALYZE tovrin.runs; CHECKPOINT;")
        seconds["server"] = time.monotonic() - started

    worker = threading.Thread(target=on_server)
    worker.start()
    started = time.monotonic()
    # Without the write-ahead log the rows are written once, not twice (log, then file): half
    # the time. The file's journal is given back as tovrin made it.
    with closing(sqlite3.connect(file, isolation_level=None)) as store:
        journal = store.execute("PRAGMA journal_mode").fetchone()[0]
        for pragma in ("journal_mode = MEMORY", "synchronous = OFF", "cache_size = -200000"):
            store.execute(f"PRAGMA {pragma}")
        store.execute("BEGIN")
        rows.sqlite(store, 1, options.rows)
        store.execute("COMMIT")
        store.execute(f"PRAGMA journal_mode = {journal}")
    seconds["file"] = time.monotonic() - started
    worker.join()
    os.sync()
    return seconds


def history(store, serial):
    """One `tovrin history --serial`: its wall time and the rows it printed (its lines but the heading)."""
    started = time.monotonic()
    result = subprocess.run([str(TOVRIN), "history", "--db", str(store), "--serial", serial], capture_output=True,
                            text=True)
    seconds = time.monotonic() - started
    if result.returncode != 0:
        sys.exit(f"history --db {store}: exit {result.returncode}: {result.stderr}")
    return seconds, len(result.stdout.splitlines()) - 1


def server_query(server, serial):
    """The server's plan and execution (EXPLAIN ANALYZE) of the query history sends it: every
    column as text, the times as a file holds them, the log left out; its lines."""
    columns = server.psql(DATABASE, "SELECT column_name, data_type FROM information_schema.columns WHERE "
                                    "table_schema = 'tovrin' AND table_name = 'runs' ORDER BY ordinal_position")
    listed = []
    for line in columns.splitlines():
        name, kind = line.split("|")
        if name == "log":
            listed.append("NULL")
        elif kind.startswith("timestamp"):
            listed.append(f"COALESCE(to_char({name} AT TIME ZONE 'UTC', {TIME_FORMAT}), '')")
        else:
            listed.append(f"{name}::text")
    return server.psql(DATABASE, f"EXPLAIN (ANALYZE, BUFFERS) SELECT {', '.join(listed)} FROM tovrin.runs "
                                 f"WHERE usb_serial = {quoted(serial)} ORDER BY started DESC, id DESC").splitlines()


def lines(work, server, uri, options):
    """(a): the slowest line ratio with the file as the store and with the server, in the order
    file, server, server, file, so that a drift of the machine's speed falls on both alike."""
    results, on_server = {"file": [], "server": []}, []
    for round, store in enumerate(("file", "server", "server", "file")):
        tag = f"{store}{round}"
        if store == "file":
            ratios = parallel(work, options.devices, tag)
        else:
            name = f"bench-{tag}"
            ratios = parallel(work, options.devices, tag, db=uri,
                              options=("--outbox", str(work / f"outbox-{tag}.db"), "--station-name", name))
            on_server.append(int(server.psql(DATABASE, f"SELECT count(*) FROM tovrin.runs WHERE station = '{name}'")))
        results[store].append(max(ratios))
    file, shipped = statistics.mean(results["file"]), statistics.mean(results["server"])
    print(f"(a) {options.devices} devices plugged at once at 115200 baud, {options.size} bytes each, the slowest "
          f"line ratio (mean of two runs each): store a file {file:.4f} "
          f"({', '.join(f'{r:.4f}' for r in results['file'])}), the server {shipped:.4f} "
          f"({', '.join(f'{r:.4f}' for r in results['server'])}): difference {shipped - file:+.4f} (goal within "
          f"0.01); rows on the server after each station: {' and '.join(map(str, on_server))} of {options.devices}")


def listing(work, server, uri, options):
    """(b): history over options.rows rows, the file and the server."""
    file = work / "history.db"
    recorded_once(work, "history-file", file)
    recorded_once(work, "history-server", uri, ("--outbox", str(work / "outbox-history.db")))
    rows = Rows(template_of(file), int(time.time() - (options.rows + options.backlog) * SPACING), options.serials)
    seconds = fill(server, file, rows, options)
    with closing(sqlite3.connect(file)) as store:
        total = store.execute("SELECT count(*) FROM runs").fetchone()[0]
    on_server, table, indexes = map(int, server.psql(
        DATABASE, "SELECT count(*), pg_table_size('tovrin.runs'), pg_indexes_size('tovrin.runs') "
                  "FROM tovrin.runs").strip().split("|"))
    print(f"(b) {total} rows in the file ({file.stat().st_size / total:.0f} bytes a row with its indexes), filled in "
          f"{seconds['file']:.1f} s; {on_server} on the server ({table / on_server:.0f} bytes a row and "
          f"{indexes / on_server:.0f} of indexes), filled, vacuumed and analysed in {seconds['server']:.1f} s; "
          f"{options.serials} serial numbers")
    serial = rows.serial(options.serials // 3)
    with closing(sqlite3.connect(file)) as store:
        in_file = store.execute("SELECT count(*) FROM runs WHERE usb_serial = ?", (serial,)).fetchone()[0]
    in_server = int(server.psql(DATABASE, f"SELECT count(*) FROM tovrin.runs WHERE usb_serial = {quoted(serial)}"))
    stores = {"file": (file, in_file), "server": (uri, in_server)}
    times, printed = {name: [] for name in stores}, {}
    for name, (store, _) in stores.items():
        history(store, serial)  # warm-up
    for _ in range(5):  # alternating, so that a drift of the machine's speed falls on both alike
        for name, (store, _) in stores.items():
            took, printed[name] = history(store, serial)
            times[name].append(took)
    for name, (store, held) in stores.items():
        median = statistics.median(times[name]) * 1000
        print(f"    history --serial {serial} on the {name:6}: {median:5.1f} ms (median of 5 after one warm-up; "
              f"{', '.join(f'{t * 1000:.1f}' for t in times[name])}; goal < 50 ms), {printed[name]} rows printed "
              f"({held} in the store)")
    plan = server_query(server, serial)
    print(f"    the server's own time for the query: {next((l for l in plan if 'Execution Time' in l), '?').strip()}")
    if statistics.median(times["server"]) >= 0.05:
        print("    the server's plan:\n" + "\n".join("      " + line for line in plan))


def shipping(work, server, uri, options):
    """(c): a backlog of options.backlog rows in an outbox, shipped by a station started on it."""
    outbox = work / "outbox-backlog.db"
    recorded_once(work, "backlog-made", uri, ("--outbox", str(outbox)))
    with closing(sqlite3.connect(outbox)) as store:
        template = template_of(outbox)
        before = store.execute("SELECT max(id) FROM runs").fetchone()[0]
        rows = Rows(template, int(time.time() - (options.rows + options.backlog) * SPACING), options.serials)
        rows.sqlite(store, options.rows + 1, options.rows + options.backlog)
        store.execute("INSERT INTO shipping (uuid, queued) SELECT uuid, finished FROM runs WHERE id > ? ORDER BY id",
                      (before,))
        store.commit()
        waiting = store.execute("SELECT count(*), count(DISTINCT uuid) FROM shipping").fetchone()
        expected = {tuple(map(str, row)) for row in store.execute(
            "SELECT uuid, started, outcome, bytes, usb_serial FROM runs WHERE id > ?", (before,))}
    on_server_before = int(server.psql(DATABASE, "SELECT count(*) FROM tovrin.runs"))
    watch = work / "watch-backlog"
    watch.mkdir()
    station = ShippingStation(work, watch, uri, 1, 115200, options=("--outbox", str(outbox)))
    shipped = station.shipped.wait(120)
    seconds = station.shipped_at - station.started if shipped else None
    station.stop()
    if not shipped:
        sys.exit(f"(c) no records_shipped event within 120 s; records_unshipped: {station.unshipped[:3]}")
    told = station.unshipped[0]["count"] if station.unshipped else "no"
    print(f"(c) {waiting[0]} waiting entries ({waiting[1]} runs) in the outbox, the server at {on_server_before} rows: "
          f"station_start to records_shipped {seconds:.2f} s (goal < 10 s); records_unshipped told {told} waiting, "
          f"records_shipped {station.shipped_event['shipped']} shipped")
    values = ",".join(f"({quoted(uuid)})" for uuid, *_ in expected)
    found = server.psql(DATABASE, f"CREATE TEMP TABLE wanted (uuid uuid PRIMARY KEY); "
                                  f"INSERT INTO wanted VALUES {values}; "
                                  f"SELECT r.uuid, to_char(r.started AT TIME ZONE 'UTC', {TIME_FORMAT}), r.outcome, "
                                  "r.bytes, r.usb_serial FROM tovrin.runs r JOIN wanted USING (uuid);")
    got = [tuple(line.split("|")) for line in found.splitlines()]
    on_server = int(server.psql(DATABASE, "SELECT count(*) FROM tovrin.runs"))
    with closing(sqlite3.connect(outbox)) as store:
        left = store.execute("SELECT count(*) FROM shipping").fetchone()[0]
    print(f"    on the server: {len(got)} rows with those run ids ({len(set(got) & expected)} as in the outbox), "
          f"{on_server} in all (+{on_server - on_server_before}); {left} entries left in the outbox")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--devices", type=int, default=32)
    parser.add_argument("--size", type=int, default=32 * 1024, help="program file bytes")
    parser.add_argument("--rows", type=int, default=1000000, help="rows of the store history reads")
    parser.add_argument("--serials", type=int, default=1000, help="devices those rows are of")
    parser.add_argument("--backlog", type=int, default=10000, help="rows waiting in the outbox")
    options = parser.parse_args()
    for path in (TOVRIN, SIM, MKEXAMPLE):
        if not path.exists():
            sys.exit(f"{path} is not built: cmake --preset native-release && cmake --build build/native-release")
    work = Path(tempfile.mkdtemp(prefix="tovrin-line-bench."))
    server = PgServer(work / "pg")
    try:
        for folder in ("logs", "summaries"):
            (work / folder).mkdir()
        subprocess.run([str(MKEXAMPLE), "--bin", str(work / "boot.bin"), "--size", "960"], check=True)
        subprocess.run([str(MKEXAMPLE), "--b86", str(work / "program.b86"), "--size", str(options.size)], check=True)
        (work / "bench.cfg").write_text("[LoadingSteps]\r\nStep1=Benchmark\r\n[Step1]\r\nAckByte=197\r\n"
                                        "BootFile=boot.bin\r\nFirmware=program.b86\r\n")
        server.start()
        server.createdb(DATABASE)
        uri = server.uri(DATABASE)
        print(f"PostgreSQL {server.psql(DATABASE, 'SHOW server_version').strip()} in {server.folder}, "
              f"reached through its Unix socket")
        lines(work, server, uri, options)
        listing(work, server, uri, options)
        shipping(work, server, uri, options)
    finally:
        server.remove()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
