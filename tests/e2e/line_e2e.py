#!/usr/bin/env python3
"""A production line whose record store is a PostgreSQL server: `tovrin` stations and transfers
natively against `tovrin-sim` on ptys, each station with a watched folder, logs and an outbox of
its own, the server a throw-away cluster in the bench's folder (tests/support/pg_server.py) that
the scenario stops and starts under the stations' feet.

  line_e2e.py SCENARIO --tovrin TOVRIN --sim SIM --mkexample MKEXAMPLE
  line_e2e.py list

Each scenario ends with the rows read back from the server through `tovrin history`; on
success they are printed as `history` lists them.
"""
import argparse
import csv
import io
import json
import re
import signal
import sqlite3
import subprocess
import sys
import time
import urllib.request
from datetime import datetime, timedelta, timezone
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "support"))
from pg_server import PgServer  # noqa: E402
from record_e2e import Bench, Station, expect_runs, run_scenarios  # noqa: E402
from tovrin_e2e import Failure, check  # noqa: E402

PASSWORD = "S3cretPw"
TERMINATED = 128 + signal.SIGTERM


def line_server(bench, stopped=False):
    """The bench's own server with the database `line`: (server, URI). Removed with the bench."""
    server = PgServer(bench.work / "pg")
    bench.cleanups.append(server.remove)
    server.start()
    server.createdb("line")
    if stopped:
        server.stop()
    return server, server.uri("line")


def line_station(bench, name, uri, *args):
    """Station `name` with its own watched folder, logs and outbox under the bench's folder."""
    home = bench.work / name
    for folder in ("watch", "logs"):
        (home / folder).mkdir(parents=True, exist_ok=True)
    station = Station(bench, "--outbox", str(home / "outbox.db"), "--station-name", name, *args, db=uri,
                      watch=home / "watch", logs=home / "logs")
    bench.cleanups.append(lambda: station.process.poll() is None and station.process.kill())
    station.watch, station.outbox = home / "watch", home / "outbox.db"
    return station


def on_port(name):
    return lambda event: event["port"].endswith("/" + name)


def load(bench, station, names):
    """Boards plugged into the station's folder, all at once: their device_end events."""
    for name in names:
        bench.plug(name, folder=station.watch)
    return [station.wait_for("device_end", on_port(name))[1] for name in names]


def server_rows(server, where="true"):
    # The station makes the schema when it first ships, not when it starts.
    if server.psql("line", "SELECT to_regclass('tovrin.runs') IS NOT NULL").strip() != "t":
        return 0
    return int(server.psql("line", f"SELECT count(*) FROM tovrin.runs WHERE {where}"))


def wait_until(condition, what, limit=30):
    """Polls what only a query can tell (a row on the server raises no event of its own)."""
    deadline = time.monotonic() + limit
    while not condition():
        check(time.monotonic() < deadline, f"{what} did not happen within {limit} s")
        time.sleep(0.1)


def records_events(station):
    with station.lock:
        return [event for _, event in station.events if event["event"].startswith("records_")]


# --- the scenarios ---

def three_stations_one_server(bench):
    """Three stations on one server database, 8 boards each plugged at once: every run reaches
    the server exactly once, under the name of the station that loaded it."""
    server, uri = line_server(bench)
    stations = {name: line_station(bench, name, uri, "--count", "8") for name in ("s1", "s2", "s3")}
    for station in stations.values():
        for index in range(8):
            bench.plug(f"board{index}", folder=station.watch)
    for station in stations.values():
        station.end(0)
    runs = bench.runs(uri)
    expect_runs(runs, ["completed"] * 24)
    for name, station in stations.items():
        check(sorted(run["port"] for run in runs if run["station"] == name) ==
              sorted(str(station.watch / f"board{index}") for index in range(8)), f"{name}'s rows: {runs}")
        mine = bench.tovrin_run("history", "--db", uri, "--station", name, "--json")
        check(mine.returncode == 0 and len(json.loads(mine.stdout)) == 8, f"history --station {name}: {mine}")
    return uri


def server_stopped_mid_shift(bench):
    """The server stops during a shift: boards go on loading at once, the station tells how many
    rows wait, and when the server is back after 20 s every row reaches it once."""
    server, uri = line_server(bench)
    station = line_station(bench, "s1", uri)
    load(bench, station, ["a", "b"])
    wait_until(lambda: server_rows(server, "outcome = 'completed'") == 2, "the first two rows reaching the server")
    server.stop()
    stopped = time.monotonic()
    for name in ("c", "d", "e"):
        bench.plug(name, folder=station.watch)
        plugged, _ = station.wait_for("device_added", on_port(name))
        began, _ = station.wait_for("line", on_port(name))
        check(began - plugged < 1.0, f"board {name} started {began - plugged:.2f} s after it was plugged")
    for name in ("c", "d", "e"):
        station.wait_for("device_end", on_port(name))
    _, waiting = station.wait_for("records_unshipped", lambda event: event["count"] == 3, after=stopped)
    check(waiting["outbox"] == str(station.outbox) and waiting["server"] == uri and waiting["reason"],
          f"records_unshipped: {waiting}")
    check(station.kinds().count("records_shipped") == 0, "records_shipped came while the server was down")
    time.sleep(max(0.0, stopped + 20 - time.monotonic()))
    server.start()
    restarted = time.monotonic()
    _, shipped = station.wait_for("records_shipped", after=restarted)
    station.end(TERMINATED, send=signal.SIGTERM)
    for event in records_events(station):
        print(json.dumps(event))
    check(shipped["server"] == uri, f"records_shipped: {shipped}")
    check(shipped["shipped"] == 5, f"records_shipped counts {shipped['shipped']} shipped for 5 runs: {shipped}")
    expect_runs(bench.runs(uri), ["completed"] * 5)
    return uri


def station_started_while_server_down(bench):
    """A station started while the server is down loads its boards; their rows are shipped once
    the server is started."""
    server, uri = line_server(bench, stopped=True)
    station = line_station(bench, "s1", uri)
    load(bench, station, ["a", "b"])
    _, waiting = station.wait_for("records_unshipped", lambda event: event["count"] == 2)
    check(waiting["reason"], f"records_unshipped without a reason: {waiting}")
    server.start()
    started = time.monotonic()
    _, shipped = station.wait_for("records_shipped", after=started)
    check(shipped["shipped"] == 2, f"records_shipped: {shipped}")
    station.end(TERMINATED, send=signal.SIGTERM)
    expect_runs(bench.runs(uri), ["completed"] * 2)
    return uri


def killed_station_ships_at_next_start(bench):
    """Rows left in the outbox by a station killed while the server was down are shipped by the
    next station on that outbox, with no board plugged."""
    server, uri = line_server(bench, stopped=True)
    station = line_station(bench, "s1", uri)
    ended = load(bench, station, ["a", "b"])
    station.process.kill()
    station.end(-signal.SIGKILL)
    server.start()
    again = line_station(bench, "s1", uri)
    _, shipped = again.wait_for("records_shipped")
    check(shipped["shipped"] == 2, f"records_shipped: {shipped}")
    unshipped = [event for event in records_events(again) if event["event"] == "records_unshipped"]
    check(all(event["count"] == 2 for event in unshipped), f"records_unshipped: {unshipped}")
    again.end(TERMINATED, send=signal.SIGTERM)
    runs = bench.runs(uri)
    expect_runs(runs, ["completed"] * 2)
    check(sorted(run["uuid"] for run in runs) == sorted(event["run_id"] for event in ended), f"runs {runs}")
    return uri


def without_id(text, kind):
    """A listing with the id column taken out: the server numbers its rows itself."""
    if kind == "--json":
        return [{key: value for key, value in run.items() if key != "id"} for run in json.loads(text)]
    if kind == "--csv":
        return [row[1:] for row in csv.reader(io.StringIO(text))]
    return [re.sub(r"^\s*\S+  ", "", line) for line in text.splitlines()]


def history_from_server(bench):
    """history on the server gives, for every filter and format, what it gives on the outbox of
    the station whose rows the filter picks, apart from the server's own ids."""
    server, uri = line_server(bench)
    first = line_station(bench, "s1", uri, "--retries", "3")
    bench.plug("a", folder=first.watch)
    bench.plug("mute", "--silent", folder=first.watch)
    ends = [first.wait_for("device_end", on_port(name))[1] for name in ("a", "mute")]
    check(sorted(event["outcome"] for event in ends) == ["completed", "failed"], f"first station's runs: {ends}")
    # --since takes whole seconds: the second station's runs begin in a second of their own.
    last = max(datetime.fromisoformat(event["started"].replace("Z", "+00:00")) for event in ends)
    since = last.replace(microsecond=0) + timedelta(seconds=1)
    time.sleep(max(0.0, (since - datetime.now(timezone.utc)).total_seconds()))
    second = line_station(bench, "s2", uri)
    load(bench, second, ["b", "c", "d"])
    wait_until(lambda: server_rows(server, "outcome <> 'running'") == 5, "all five rows reaching the server")
    for station in (first, second):
        station.end(TERMINATED, send=signal.SIGTERM)
    filters = [(["--station", "s1"], first), (["--station", "s2"], second),
               (["--port", str(first.watch / "mute")], first), (["--outcome", "failed"], first),
               (["--since", since.strftime("%Y-%m-%dT%H:%M:%S")], second), (["--limit", "2"], second)]
    for arguments, station in filters:
        for kind in ("table", "--csv", "--json"):
            shown = {}
            for store in (uri, str(station.outbox)):
                done = bench.tovrin_run("history", "--db", store, *arguments, *([kind] if kind != "table" else []))
                check(done.returncode == 0, f"history {arguments} {kind} on {store}: {done.stderr}")
                shown[store] = without_id(done.stdout, kind)
            picked = len(shown[uri]) - (0 if kind == "--json" else 1)  # less the header
            check(shown[uri] == shown[str(station.outbox)] and picked > 0,
                  f"history {' '.join(arguments)} {kind}: server\n{shown[uri]}\noutbox\n{shown[str(station.outbox)]}")
    runs = bench.runs(uri)
    expect_runs(runs, ["completed"] * 4 + ["failed"])
    check([run["station"] for run in runs] == ["s1", "s1", "s2", "s2", "s2"], f"stations {runs}")
    return uri


SCHEMA = """SELECT table_name, column_name, data_type FROM information_schema.columns
            WHERE table_schema = 'tovrin' ORDER BY table_name, ordinal_position;
            SELECT version FROM tovrin.schema_version; SELECT count(*) FROM tovrin.runs;"""


def newer_schema_refused(bench):
    """A server whose schema is newer than this tovrin knows is left as it is: history refuses
    it, a transfer loads its board and keeps the row in its outbox."""
    server, uri = line_server(bench)
    server.psql("line", "CREATE SCHEMA tovrin; CREATE TABLE tovrin.schema_version (version integer NOT NULL);"
                        "INSERT INTO tovrin.schema_version VALUES (99);"
                        "CREATE TABLE tovrin.runs (uuid uuid UNIQUE, station text, shipped_by text);")
    before = server.psql("line", SCHEMA)
    refused = bench.tovrin_run("history", "--db", uri)
    check(refused.returncode == 2 and "version 99" in refused.stderr, f"history: {refused.returncode} {refused.stderr}")
    sim = bench.plug("a", folder=bench.work)
    outbox = bench.work / "outbox.db"
    done = bench.tovrin_run("Example.cfg", "-C", str(bench.work / "a"), "-B", "115200", "--db", uri, "--outbox",
                            str(outbox), "--json")
    check(done.returncode == 0 and sim.finish().get("end") == "complete", f"transfer: {done.returncode} {done.stderr}")
    events = [json.loads(line) for line in done.stdout.splitlines()]
    run_id = next(event["run_id"] for event in events if event["event"] == "device_end")
    check(any(event["event"] == "records_unshipped" and "version 99" in (event["reason"] or "") for event in events),
          f"the transfer did not tell why its row waits: {done.stdout[-1500:]}")
    with sqlite3.connect(f"file:{outbox}?mode=ro", uri=True) as store:
        waiting = {uuid for (uuid,) in store.execute("SELECT uuid FROM shipping")}
    check(run_id in waiting, f"the run {run_id} is not waiting in the outbox: {waiting}")
    check(server.psql("line", SCHEMA) == before, f"the schema changed:\n{before}\n{server.psql('line', SCHEMA)}")
    again = bench.tovrin_run("history", "--db", uri, "--json")
    check(again.returncode == 2 and "version 99" in again.stderr and again.stdout == "", f"history --json: {again}")
    expect_runs(bench.runs(outbox), ["completed"])
    return outbox


def password_never_shown(bench):
    """The password of the server's URI appears in no output, report, log or row: a transfer with
    the server up, a station's lines and events with it down, history."""
    server, plain = line_server(bench)
    uri = plain.replace("postgresql://postgres@", f"postgresql://postgres:{PASSWORD}@")
    check(PASSWORD in uri, f"no password in {uri}")
    home, named = bench.work / "s1", f":{server.port}/line"
    for folder in ("watch", "logs"):
        (home / folder).mkdir(parents=True)
    outbox = ["--outbox", str(home / "outbox.db")]
    shown = []
    sim = bench.plug("a", folder=bench.work)
    done = bench.tovrin_run("Example.cfg", "-C", str(bench.work / "a"), "-B", "115200", "--db", uri, *outbox,
                            "--report", str(bench.work / "report.json"), "--json", "-L", str(bench.work / "a.log"))
    check(done.returncode == 0 and sim.finish().get("end") == "complete", f"transfer: {done.stderr}")
    check(server_rows(server) == 1, "the transfer's row is not on the server")
    shown += [done.stdout, done.stderr]
    server.stop()
    bench.plug("b", folder=home / "watch")
    done = bench.tovrin_run("station", "Example.cfg", "-B", "115200", "--watch", str(home / "watch"), "--existing",
                            "--count", "1", "--logs", str(home / "logs"), "--db", uri, *outbox, "--station-name", "s1")
    check(done.returncode == 0, f"station: {done.returncode} {done.stderr}")
    check("records wait in" in done.stdout + done.stderr and named in done.stdout + done.stderr,
          f"the station did not tell the waiting row and why: {done.stdout} {done.stderr}")
    shown += [done.stdout, done.stderr]
    station = line_station(bench, "s1", uri)
    _, waiting = station.wait_for("records_unshipped", lambda event: event["reason"] is not None)
    check(named in waiting["reason"] and named in waiting["server"], f"records_unshipped: {waiting}")
    server.start()
    station.wait_for("records_shipped")
    station.end(TERMINATED, send=signal.SIGTERM)
    shown += [json.dumps(event) for _, event in station.events] + [station.stderr]
    for kind in ([], ["--csv"], ["--json"]):
        done = bench.tovrin_run("history", "--db", uri, *kind)
        check(done.returncode == 0 and "s1" in done.stdout, f"history {kind}: {done.stderr}")
        shown += [done.stdout, done.stderr]
    shown.append(server.psql("line", "SELECT row_to_json(runs) FROM tovrin.runs"))
    for index, text in enumerate(shown):
        check(PASSWORD not in text, f"the password is shown in output {index}: {text[:400]}")
    files = [path for path in bench.work.rglob("*") if path.is_file() and bench.work / "pg" not in path.parents]
    check({"report.json", "outbox.db", "a.log"} <= {path.name for path in files} and
          any(path.parent == home / "logs" for path in files), f"files {files}")
    for path in files:
        check(PASSWORD.encode() not in path.read_bytes(), f"the password is in {path}")
    expect_runs(bench.runs(uri), ["completed"] * 2)
    return uri


def board_on(bench, uri):
    """`tovrin board` on the store at uri, on a free loopback port: (process, its URL)."""
    board = subprocess.Popen([bench.tovrin, "board", "--db", uri, "--listen", "127.0.0.1:0"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    bench.cleanups.append(lambda: board.poll() is None and board.kill())
    line = board.stdout.readline()
    found = re.search(r"board: (http://\S+/)", line)
    check(found is not None, f"the board's first line: {line!r}, {board.stderr.read() if not line else ''}")
    return board, found.group(1)


def fetched(url):
    with urllib.request.urlopen(url, timeout=10) as answer:
        return answer.read().decode()


def metric_sums(text, name):
    """The values of one metric added up by station."""
    sums = {}
    for station, value in re.findall(name + r'\{station="([^"]*)"[^}]*\} (\S+)', text):
        sums[station] = sums.get(station, 0) + float(value)
    return sums


def board_reads_the_line_server(bench):
    """Two stations tell the server their state; a board on the server shows them online, counts
    their runs as the server holds them, and a station that ends as no longer up."""
    server, uri = line_server(bench)
    stations = {name: line_station(bench, name, uri) for name in ("s1", "s2")}
    for name, station in stations.items():
        load(bench, station, [f"{name}b{index}" for index in range(3)])
    board, url = board_on(bench, uri)
    wait_until(lambda: metric_sums(fetched(url + "metrics"), "tovrin_runs_total") == {"s1": 3, "s2": 3} and
               server_rows(server) == 6, "the board counts the six runs the server holds")
    up = lambda: metric_sums(fetched(url + "metrics"), "tovrin_station_up")
    check(up() == {"s1": 1, "s2": 1}, f"stations up: {up()}")
    listed = json.loads(fetched(url + "api/stations"))
    check([entry["station"] for entry in listed] == ["s1", "s2"] and all(entry["online"] for entry in listed),
          f"/api/stations: {listed}")
    runs = json.loads(fetched(url + "api/runs?station=s1"))
    check(len(runs) == 3 and {run["station"] for run in runs} == {"s1"}, f"/api/runs?station=s1: {runs}")
    page = fetched(url + "runs/" + runs[0]["uuid"])
    check("Tovrin" in page and runs[0]["uuid"] in page, f"/runs/<uuid>: {page[:300]}")
    stations["s1"].end(TERMINATED, send=signal.SIGTERM)
    wait_until(lambda: up() == {"s1": 0, "s2": 1}, "the board tells the ended station down", limit=15)
    board.send_signal(signal.SIGTERM)
    check(board.wait(timeout=10) == 0, f"the board's exit status {board.returncode}")
    stations["s2"].end(TERMINATED, send=signal.SIGTERM)
    return uri


SCENARIOS = {f.__name__: f for f in [board_reads_the_line_server,
    three_stations_one_server, server_stopped_mid_shift, station_started_while_server_down,
    killed_station_ships_at_next_start, history_from_server, newer_schema_refused, password_never_shown]}


if __name__ == "__main__":
    sys.exit(run_scenarios(SCENARIOS))
