#!/usr/bin/env python3
"""The board (`tovrin board`) over the record store of a station loading simulated devices: its page
in headless Chromium through chromedriver (Debian's chromium, chromium-driver, python3-selenium), its
routes and HTML as served, its metrics held against the rows. `board_e2e.py SCENARIO --tovrin TOVRIN
--sim SIM --mkexample MKEXAMPLE`, or `board_e2e.py list`.

Selenium is Debian's, for /usr/bin/python3: under another interpreter the script starts itself again
under that one. TOVRIN_BOARD_SCREENSHOT=FILE: the live scenario saves the page (1280x900) while a
board loads beside three that have passed.
"""
import json
import os
import re
import select
import signal
import socket
import sqlite3
import subprocess
import sys
import time
import uuid
from collections import Counter
from contextlib import closing, suppress
from datetime import datetime, timedelta, timezone
from html import unescape
from pathlib import Path
from urllib.error import HTTPError
from urllib.parse import quote, urlencode, urlsplit
from urllib.request import urlopen

SYSTEM_PYTHON = "/usr/bin/python3"
if __name__ == "__main__" and sys.argv[1:2] != ["list"] and \
        os.path.realpath(sys.executable) != os.path.realpath(SYSTEM_PYTHON):
    try:
        import selenium  # noqa: F401
    except ImportError:
        if os.path.exists(SYSTEM_PYTHON):
            os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON, *sys.argv])

sys.path.insert(0, str(Path(__file__).resolve().parent))
from line_e2e import on_port, wait_until  # noqa: E402
from record_e2e import Station, run_scenarios  # noqa: E402
from tovrin_e2e import Failure, check  # noqa: E402

try:
    from selenium import webdriver
    from selenium.common.exceptions import NoAlertPresentException
except ImportError:
    webdriver = None

LIMIT_S = 40         # a page or a store reaching a state
REQUEST_LIMIT_S = 10  # one HTTP answer, also beside 200 idle connections
OFFLINE_LIMIT_S = 3  # an ended station shown offline: at the board's next reading, not after 30 s
TERMINATED = 128 + signal.SIGTERM
NO_ACK = "*** No Ack received (Timeout)"
NASTY_STATION = "<script>alert(1)</script>"
NASTY_ENTRY = "<b>&\"'"
NEWLINE_STATION = 'x"y\\z\nw'


class Board:
    """tovrin board on the bench's store at the address its first line tells. It writes nothing more
    until it ends (stderr only when it cannot go on), so its pipes are read only then."""

    def __init__(self, bench, listen="127.0.0.1:0"):
        command = [bench.tovrin, "board", "--db", str(bench.db), *(["--listen", listen] if listen else [])]
        self.process = subprocess.Popen(command, cwd=bench.work, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True)
        bench.cleanups.append(lambda: self.process.poll() is None and self.process.kill())
        told = select.select([self.process.stdout], [], [], LIMIT_S)[0]
        self.line = self.process.stdout.readline() if told else f"nothing within {LIMIT_S} s"
        found = re.search(r"board: (http://\S+/)", self.line)
        if not found:
            self.process.kill()
            raise Failure(f"the board did not tell its address: {self.line!r} {self.process.communicate()[1]}")
        self.url = found.group(1)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            errors = self.process.communicate(timeout=REQUEST_LIMIT_S)[1]
        except subprocess.TimeoutExpired:
            raise Failure("the board did not end on SIGTERM")
        check(self.process.returncode == 0, f"on SIGTERM the board ended with {self.process.returncode}: {errors}")


def fetch(url, status=200, kind=""):
    """The body of one GET, which must come with this status and a content type that holds kind."""
    try:
        with urlopen(url, timeout=REQUEST_LIMIT_S) as answer:
            got, body = answer, answer.read()
    except HTTPError as error:  # an error status is an answer too
        got, body = error, error.read()
    except OSError as error:  # no answer within the limit, or none at all
        raise Failure(f"{url}: {error}")
    got_kind = got.headers.get("Content-Type", "")
    check(got.status == status and kind in got_kind, f"{url}: {got.status} {got_kind} {body[:300]!r}")
    return body.decode()


def fetch_json(url):
    return json.loads(fetch(url, kind="json"))


class Browser:
    """Headless Chromium through chromedriver, the page 1280x900; gone with the bench."""

    def __init__(self, bench):
        check(webdriver is not None, "python3-selenium is missing (scripts/setup.sh installs it)")
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for argument in ("--headless=new", "--disable-gpu", "--window-size=1280,900", f"--user-data-dir={bench.work}/"
                         "chromium", *(["--no-sandbox"] if os.geteuid() == 0 else [])):
            options.add_argument(argument)
        self.driver = webdriver.Chrome(service=webdriver.chrome.service.Service("/usr/bin/chromedriver"),
                                       options=options)
        bench.cleanups.append(self.driver.quit)
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": 1280, "height": 900, "deviceScaleFactor": 1, "mobile": False})

    def until(self, what, accept, script=None, limit=LIMIT_S):
        """Polls what the page shows (PAGE unless script) until accept holds, for limit s at most."""
        deadline = time.monotonic() + limit
        while not accept(seen := self.run(script or PAGE)):
            check(time.monotonic() < deadline, f"{what}: not within {limit} s; the page shows {seen!r}")
            time.sleep(0.1)
        return seen

    def run(self, script):
        return self.driver.execute_script(script)


# What the page shows: its stations, its slots (each with its station) and its yield rows, each with
# its data- attributes and its cells' text by class; markup and scripts made of the names.
PAGE = """const read = e => ({station: e.closest("article.station")?.dataset.station, ...e.dataset,
    name: e.querySelector("h2.station-name")?.textContent, run: e.querySelector("td.slot-run a")?.getAttribute(
    "href"), cells: Object.fromEntries(Array.from(e.querySelectorAll("td"), td => Array.from(td.classList,
    c => [c, td.textContent.trim()])).flat())});
const all = selector => Array.from(document.querySelectorAll(selector), read);
return {stations: all("article.station"), slots: all("tr.slot"), yield: all("#yield tr.yield"),
    updates: Number(document.body.dataset.updates), bold: Array.from(document.querySelectorAll("#board b")).filter(
    b => b.textContent.startsWith("&")).length, scripts: Array.from(document.scripts).filter(
    s => s.type !== "application/json" && s.textContent.includes("alert(1)")).length};"""
# Every state and text each slot shows, noted at every change of the page, and a mark that stays
# only as long as the page is not loaded again.
RECORDER = """window.__loadedOnce = 1; window.__seen = {};
const note = () => { for (const row of document.querySelectorAll("tr.slot")) {
    const seen = window.__seen[row.dataset.port] = window.__seen[row.dataset.port] || [];
    const entry = [row.dataset.state, row.querySelector("td.slot-state")?.textContent.trim() ?? ""];
    const last = seen[seen.length - 1];
    if (!last || last[0] !== entry[0] || last[1] !== entry[1]) seen.push(entry); } };
note(); new MutationObserver(note).observe(document.documentElement,
    {subtree: true, childList: true, attributes: true, characterData: true});"""
# The datasets of the two charts as drawn, and their data as served.
CHARTS = """const drawn = id => { const c = window.Chart && Chart.getChart(id);
    return c ? c.data.datasets.map(d => ({label: String(d.label), data: d.data.map(Number)})) : null; };
return [drawn("runs-chart"), drawn("durations-chart"), document.getElementById("chart-data").textContent];"""


def elements(html, tag, cls=None, **attrs):
    """(attributes, inner HTML) of each <tag> as served with this class and attributes (data_port= for
    data-port); no element of the board's pages holds another of its own tag."""
    found = []
    for element in re.finditer(rf"<{tag}\b([^>]*)>(.*?)</{tag}>", html, re.S):
        given = {name: unescape(value) for name, value in re.findall(r'([\w-]+)="([^"]*)"', element.group(1))}
        if (cls is None or cls in given.get("class", "").split()) and \
                all(given.get(name.replace("_", "-")) == value for name, value in attrs.items()):
            found.append((given, element.group(2)))
    return found


def text(html, cls=None):
    """The text of the HTML, or of its first cell of this class (None without one)."""
    if cls:
        return next((text(inner).strip() for _, inner in elements(html, "td", cls)), None)
    return unescape(re.sub(r"<[^>]*>", "", html))


LABEL = r'[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*"'
SAMPLE = re.compile(rf"([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{{((?:{LABEL}(?:,{LABEL})*,?)?)\}})? (\S+)(?: -?\d+)?")


def metrics(board):
    """/metrics: (text, {(name, frozenset of (label, value)): value}, {name: type}); a line out of the
    text format (an unknown escape too) or a sample given twice fails."""
    body = fetch(board.url + "metrics", kind="text/plain")
    samples, types = {}, dict(re.findall(r"^# TYPE (\S+) (counter|gauge|histogram|summary|untyped)$", body, re.M))
    for line in (line for line in body.splitlines() if line and not line.startswith("#")):
        sample = SAMPLE.fullmatch(line)
        check(sample is not None, f"/metrics: not a sample: {line!r}")
        labels = frozenset((name, re.sub(r"\\(.)", lambda m: "\n" if m.group(1) == "n" else m.group(1), given))
                           for name, given in re.findall(r'(\w+)="((?:[^"\\]|\\.)*)"', sample.group(2) or ""))
        check((sample.group(1), labels) not in samples, f"/metrics: {line!r} twice")
        samples[sample.group(1), labels] = float(sample.group(3))
    return body, samples, types


def series(samples, name, **labels):
    """(labels, value) of each sample of the metric with these labels among its own."""
    return [(dict(given), value) for (sampled, given), value in samples.items()
            if sampled == name and given >= labels.items()]


def value(samples, name, **labels):
    return samples.get((name, frozenset(labels.items())))


def iso(moment):
    return moment.strftime("%Y-%m-%dT%H:%M:%S.") + f"{moment.microsecond // 1000:03d}Z"


def store_rows(db, sql, args=()):
    with closing(sqlite3.connect(f"file:{db}?mode=ro", uri=True)) as store:
        store.row_factory = sqlite3.Row
        return [dict(row) for row in store.execute(sql, args)]


def add_runs(db, *changes):
    """Copies of the first row, completed, each with a run id of its own and these columns changed."""
    template = store_rows(db, "SELECT * FROM runs ORDER BY id LIMIT 1")[0]
    del template["id"]
    with closing(sqlite3.connect(db, timeout=30)) as store, store:
        for row in ({**template, "outcome": "completed", "uuid": str(uuid.uuid4()), **change} for change in changes):
            store.execute(f"INSERT INTO runs ({', '.join(row)}) VALUES ({', '.join('?' * len(row))})",
                          list(row.values()))


def start_station(bench, name, *args, baud="115200"):
    station = Station(bench, "--station-name", name, "--retries", "2", *args, baud=baud)
    bench.cleanups.append(lambda: station.process.poll() is None and station.process.kill())
    return station


def plug_held(bench, name, *extra):
    """A device that stays plugged after its run, as a board left in its socket: its line is held open
    here too, so that the simulator does not take the station's close for its end."""
    held = os.open(bench.plug(name, "--linger", "90", *extra).pty, os.O_RDWR | os.O_NOCTTY)
    bench.cleanups.append(lambda: os.close(held))


def station_with_runs(bench, name, good=("a", "b"), silent=("mute",)):
    """A station whose devices have ended, the good ones completed and staying plugged, the silent ones
    failed, and whose rows are written: (station, {device: its device_end event})."""
    station = start_station(bench, name)
    for device in good:
        plug_held(bench, device)
    for device in silent:
        bench.plug(device, "--silent")
    ends = {device: station.wait_for("device_end", on_port(device))[1] for device in (*good, *silent)}
    check([end["outcome"] for end in ends.values()] == ["completed"] * len(good) + ["failed"] * len(silent),
          f"the station's runs: {ends}")
    wanted = {end["run_id"]: end["outcome"] for end in ends.values()}  # a station writes a row after the event
    wait_until(lambda: {row["uuid"]: row["outcome"] for row in store_rows(bench.db, "SELECT uuid, outcome FROM runs")
                        if row["uuid"] in wanted} == wanted, "the station's runs written", limit=LIMIT_S)
    return station, ends


def board_live_slots(bench):
    """One page, never loaded again, follows four devices from loading to PASS (three) and FAIL
    (the silent one); the silent port failing three times in a row asks for attention."""
    station = start_station(bench, "line-a", baud="9600")
    board, browser = Board(bench), Browser(bench)
    browser.driver.get(board.url)
    browser.run(RECORDER)
    loaded, updates = time.monotonic(), browser.run(PAGE)["updates"]
    for device in "abc":
        plug_held(bench, device, "--baud", "9600")
    mute = bench.plug("mute", "--silent")
    ends = {device: station.wait_for("device_end", on_port(device)) for device in ("a", "b", "c", "mute")}
    port = {device: end["port"] for device, (_, end) in ends.items()}
    shown = {port[d]: ("passed", "PASS", "") for d in "abc"} | {port["mute"]: ("failed", "FAIL", NO_ACK)}
    runs = {end["port"]: end["run_id"] for _, end in ends.values()}
    browser.until("three slots PASS and the silent one FAIL, each with its run", lambda page: {s["port"]: (
        s["state"], s["cells"]["slot-state"], s["cells"]["slot-error"], (s["run"] or "").split("/runs/")[-1])
        for s in page["slots"]} == {p: (*shown[p], runs[p]) for p in shown})
    seen = browser.run("return window.__seen")
    for p, states in ((p, seen.get(p, [])) for p in shown):
        check(any(state == "loading" for state, _ in states) and states[-1][0] == shown[p][0] and
              all(re.fullmatch(r"loading step \d+/2 \d+ %", text) for state, text in states if state == "loading"),
              f"{p}: {seen}")
    grown = browser.run(PAGE)["updates"] - updates
    check(grown >= max(2, int(time.monotonic() - loaded) // 3),
          f"{grown} refreshes in {time.monotonic() - loaded:.0f} s")

    def counted(failures):
        """The yield rows of the four ports as they should be: runs, completed, failed, attention."""
        want = {port[d]: ("1", "1", "0", "no", None) for d in "abc"} | {port["mute"]: (
            str(failures), "0", str(failures), *(("yes", "attention") if failures == 3 else ("no", None)))}
        return lambda page: want == {row["port"]: (*(row["cells"].get(f"{what}-1h") for what in (
            "runs", "completed", "failed")), row["attention"], row["cells"].get("attention"))
            for row in page["yield"] if row["station"] == "line-a" and row["port"] in want}
    browser.until("the yield of the four ports, the silent one failed once", counted(1))
    ended = ends["mute"][0]
    for again in (2, 3):  # the silent board plugged again: its second and third failure in a row
        mute.finish(limit=0)
        gone, _ = station.wait_for("device_removed", on_port("mute"), after=ended)
        mute = bench.plug("mute", "--silent")
        if again == 2 and os.environ.get("TOVRIN_BOARD_SCREENSHOT"):
            shot = Path(os.environ["TOVRIN_BOARD_SCREENSHOT"])
            browser.until("the plugged again board loading", lambda page: any(
                slot["port"] == port["mute"] and slot["state"] == "loading" for slot in page["slots"]))
            shot.parent.mkdir(parents=True, exist_ok=True)
            browser.driver.save_screenshot(str(shot))
        ended, end = station.wait_for("device_end", on_port("mute"), after=gone)
        check(end["outcome"] == "failed", f"the silent board's run {again}: {end}")
    browser.until("attention for the port that failed 3 times in a row", counted(3))
    check(browser.run("return window.__loadedOnce") == 1, "the page was loaded again")
    station.end(TERMINATED, send=signal.SIGTERM)
    browser.until("the stopped station offline", lambda page: [
        [s["station"], s["online"]] for s in page["stations"]] == [["line-a", "no"]], limit=5)


def board_charts_have_data(bench):
    """The charts of the last 24 h hold the finished runs of the store, as drawn and as served:
    the station's, one of two hours ago, none of 30 hours ago."""
    station, _ = station_with_runs(bench, "line-b")
    now = datetime.now(timezone.utc)
    hour = now.replace(minute=0, second=0, microsecond=0)
    earlier = hour - timedelta(hours=2) + timedelta(minutes=30)
    add_runs(bench.db, dict(started=iso(earlier), finished=iso(earlier + timedelta(seconds=5)), seconds=5.0),
             dict(started=iso(now - timedelta(hours=30)), finished=iso(now - timedelta(hours=30)), outcome="failed"))
    finished = len(store_rows(bench.db, "SELECT 1 FROM runs WHERE outcome != 'running' AND started >= ?",
                              (iso(now - timedelta(hours=24)),)))
    check(finished == 4, f"{finished} runs in the last 24 h")
    browser = Browser(bench)
    browser.driver.get(Board(bench).url)
    charts = browser.until("the charts drawn", lambda charts: None not in charts[:2], CHARTS)
    drawn, histogram, served = charts[0], [d["data"] for d in charts[1]], json.loads(charts[2])
    hours = [datetime.fromisoformat(label.replace("Z", "+00:00")) for label in served["hours"]]
    hours = [h if h.tzinfo else h.replace(tzinfo=timezone.utc) for h in hours]
    check(len(hours) == 24 and all(b - a == timedelta(hours=1) for a, b in zip(hours, hours[1:])) and
          hours[-1] in (hour, datetime.now(timezone.utc).replace(minute=0, second=0, microsecond=0)),
          f"hour labels {served['hours']}")
    outcomes, durations = served["outcomes"], served["durations"]
    check(set(outcomes) <= {"completed", "failed", "cancelled", "not-started", "interrupted"} and
          all(len(counts) == 24 for counts in outcomes.values()), f"outcomes {outcomes}")
    total = [sum(column) for column in zip(*outcomes.values())]
    at = hours.index(hour - timedelta(hours=2))
    check(sum(total) == finished and {k: v[at] for k, v in outcomes.items() if v[at]} == {"completed": 1} and
          {k: sum(v[-2:]) for k, v in outcomes.items() if sum(v[-2:])} == {"completed": 2, "failed": 1},
          f"#chart-data {outcomes}: {finished} runs in the store, one completed at {hours[at]}, 2 + 1 recently")
    check([sum(column) for column in zip(*(d["data"] for d in drawn))] == total and
          all(d["data"] == outcomes.get(d["label"].lower(), d["data"]) for d in drawn),
          f"drawn {drawn}, served {outcomes}")
    check(len(durations["labels"]) == len(durations["counts"]) and sum(durations["counts"]) == finished and
          [sum(column) for column in zip(*histogram)] == durations["counts"],
          f"durations drawn {histogram}, served {durations}")
    station.end(TERMINATED, send=signal.SIGTERM)


def board_run_page(bench):
    """/runs/UUID shows the run with the log it wrote; unknown and malformed ids and other routes
    are 404; /api/runs gives what history gives, filtered alike, and refuses bad filters."""
    station, ends = station_with_runs(bench, "line-c")
    station.end(TERMINATED, send=signal.SIGTERM)
    old = datetime.now(timezone.utc) - timedelta(days=3)
    add_runs(bench.db, *(dict(started=iso(old + timedelta(minutes=i)), finished=iso(old + timedelta(minutes=i)))
                         for i in range(110)))
    board = Board(bench)
    for run in bench.runs()[-3:]:
        page = text(fetch(board.url + "runs/" + run["uuid"], kind="text/html"))
        written = Path(run["log_file"]).read_bytes().decode("cp1252")
        missing = [line for line in written.split("\r\n") if line.strip() and line not in page]
        facts = [run["uuid"], run["port"], run["outcome"], run["configuration_sha256"],
                 *([NO_ACK] if run["outcome"] == "failed" else [])]
        check(written.strip() and not missing and all(fact in page for fact in facts),
              f"/runs/{run['uuid']}: lacks lines of its log {missing[:3]} or some of {facts}")
    one = ends["a"]["run_id"]
    for route, status in [(route, 404) for route in (
            "runs/" + str(uuid.uuid4()), "runs/not-a-uuid", "runs/" + one[:-1], "runs/" + one + "0",
            "runs/" + quote("1' OR '1'='1"), "runs/", "nothing", "api/nothing", "index.html")] + [
            ("api/runs?" + urlencode(filters), 400) for filters in (
                {"limit": "many"}, {"limit": "-1"}, {"outcome": "exploded"}, {"since": "the day before"},
                {"colour": "red"})]:
        body = fetch(board.url + route, status, "json" if status == 400 else "")
        check(status == 404 or isinstance(json.loads(body).get("error"), str), f"/{route}: {body[:200]}")
    for filters in ({}, {"outcome": "failed"}, {"port": ends["mute"]["port"]}, {"limit": "1"}, {"limit": "1000"},
                    {"station": "line-c"}, {"station": "nobody"}, {"since": "1h"},
                    {"outcome": "completed", "limit": "5"}):
        arguments = [a for k, v in {"limit": "100", **filters}.items() for a in (f"--{k}", v)]
        done = bench.tovrin_run("history", "--db", str(bench.db), "--json", *arguments)
        check(done.returncode == 0, f"history {arguments}: {done.stderr}")
        listed = fetch_json(board.url + "api/runs" + (f"?{urlencode(filters)}" if filters else ""))
        given, wanted = ([{k: v for k, v in run.items() if k != "log"} for run in runs]
                         for runs in (listed, json.loads(done.stdout)))
        at = next((i for i, (a, b) in enumerate(zip(given, wanted)) if a != b), min(len(given), len(wanted)))
        check(given == wanted, f"/api/runs {filters}: {len(given)} runs, history {' '.join(arguments)} "
                               f"{len(wanted)}; from {at}: {given[at:at + 1]} / {wanted[at:at + 1]}")


def board_escapes_names(bench):
    """A station named like a script and a port named like markup: shown as text, given back
    exactly, no script runs; metrics escape a label's backslash, quote and line end."""
    station, ends = station_with_runs(bench, NASTY_STATION, good=(NASTY_ENTRY,), silent=())
    port = str(bench.watch / NASTY_ENTRY)
    check(ends[NASTY_ENTRY]["port"] == port, f"{ends}")
    add_runs(bench.db, dict(station=NEWLINE_STATION, port="/dev/ttyUSB0"))
    board, browser = Board(bench), Browser(bench)
    browser.driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": (
        "window.__alerts = []; for (const f of ['alert', 'confirm', 'prompt'])"
        " window[f] = m => { window.__alerts.push(f + ':' + m); };")})
    browser.driver.get(board.url)
    page = browser.until("the station and its one slot shown", lambda page: [
        s["state"] for s in page["slots"] if s["station"] == NASTY_STATION] == ["passed"])
    slot = next(s for s in page["slots"] if s["station"] == NASTY_STATION)
    check([s["name"] for s in page["stations"] if s["station"] == NASTY_STATION] == [NASTY_STATION] and
          slot["port"] == port and NASTY_ENTRY in slot["cells"]["slot-port"] and
          [NASTY_STATION, port] in [[row["station"], row["port"]] for row in page["yield"]] and
          page["bold"] == page["scripts"] == 0 and browser.run("return window.__alerts") == [],
          f"the page shows {page}, alerts {browser.run('return window.__alerts')}")
    with suppress(NoAlertPresentException):
        raise Failure(f"an alert is open: {browser.driver.switch_to.alert.text!r}")
    stations = fetch_json(board.url + "api/stations")
    runs = fetch_json(board.url + "api/runs?" + urlencode({"station": NASTY_STATION}))
    check([[slot["port"] for slot in s["slots"]] for s in stations if s["station"] == NASTY_STATION] == [[port]] and
          [run["port"] for run in runs] == [port], f"/api/stations {stations}, /api/runs?station=... {runs}")
    body, samples, _ = metrics(board)
    for name, label in (("station", NASTY_STATION), ("port", port), ("station", NEWLINE_STATION)):
        raw = name + '="' + label.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'
        check(re.search(r"^tovrin_runs_total\{.*" + re.escape(raw), body, re.M), f"/metrics lacks {raw}:\n{body}")
    totals = {(l["station"], l["port"]): v for l, v in series(samples, "tovrin_runs_total") if v}
    check(totals == {(NASTY_STATION, port): 1, (NEWLINE_STATION, "/dev/ttyUSB0"): 1}, f"runs_total {totals}")
    station.end(TERMINATED, send=signal.SIGTERM)


def board_metrics_agree_with_store(bench):
    """/metrics against the rows: runs per station, port and outcome, the run time histogram per
    station and outcome, the slots and the stations up and then down."""
    station, _ = station_with_runs(bench, "line-e")
    add_runs(bench.db, dict(outcome="cancelled", seconds=0.7), dict(outcome="not-started", seconds=0.0),
             dict(station="line-x", port="/dev/ttyUSB3", seconds=42.0), dict(outcome="interrupted", seconds=1.5))
    board = Board(bench)
    _, samples, types = metrics(board)
    check(types.items() >= {"tovrin_runs_total": "counter", "tovrin_run_duration_seconds": "histogram",
                            "tovrin_slots": "gauge", "tovrin_records_pending": "gauge",
                            "tovrin_station_up": "gauge"}.items(), f"# TYPE lines {types}")
    rows = store_rows(bench.db, "SELECT station, port, outcome, seconds FROM runs WHERE outcome != 'running'")
    counted = Counter((r["station"], r["port"], r["outcome"]) for r in rows)
    totals = {(l["station"], l["port"], l["outcome"]): v for l, v in series(samples, "tovrin_runs_total") if v}
    check(totals == counted, f"tovrin_runs_total {totals}, the store {dict(counted)}")
    seconds = {}
    for row in rows:
        seconds.setdefault((row["station"], row["outcome"]), []).append(row["seconds"])
    histograms = {(l["station"], l["outcome"]) for l, _ in series(samples, "tovrin_run_duration_seconds_bucket")}
    check(histograms == set(seconds), f"histograms of {sorted(histograms)}, runs of {sorted(seconds)}")
    for (name, outcome), times in seconds.items():
        both = dict(station=name, outcome=outcome)
        ladder = sorted((float(l["le"]), n) for l, n in series(samples, "tovrin_run_duration_seconds_bucket", **both))
        count = value(samples, "tovrin_run_duration_seconds_count", **both)
        total = value(samples, "tovrin_run_duration_seconds_sum", **both)
        check(count == len(times) and total is not None and abs(total - sum(times)) < 1e-3 * max(1, sum(times)) and
              ladder[-1] == (float("inf"), len(times)) and all(a[1] <= b[1] for a, b in zip(ladder, ladder[1:])) and
              all(n == sum(t <= le for t in times) for le, n in ladder),
              f"{name} {outcome}: _count {count}, _sum {total}, buckets {ladder}; the store {times}")
    check(value(samples, "tovrin_station_up", station="line-e") == 1, "line-e is not up")

    def agree():
        listed = next(s for s in fetch_json(board.url + "api/stations") if s["station"] == "line-e")
        now = metrics(board)[1]
        slots = {l["state"]: v for l, v in series(now, "tovrin_slots", station="line-e")}
        return ({k: v for k, v in slots.items() if v} == Counter(slot["state"] for slot in listed["slots"]) and
                sum(slots.values()) == len(listed["slots"]) and slots.get("failed", 0) >= 1 and
                value(now, "tovrin_records_pending", station="line-e") == listed["records_pending"])
    wait_until(agree, "tovrin_slots and records_pending as /api/stations tells them", limit=10)
    station.end(TERMINATED, send=signal.SIGTERM)
    ended = time.monotonic()
    wait_until(lambda: value(metrics(board)[1], "tovrin_station_up", station="line-e") == 0,
               "tovrin_station_up 0 for the ended station", limit=OFFLINE_LIMIT_S)
    print(f"tovrin_station_up 0 {time.monotonic() - ended:.2f} s after the station ended")


def board_without_javascript(bench):
    """The page as served: the station, its slots, the yield, the failures and the newest runs are
    in the HTML; /live serves the same without the page around it."""
    station, ends = station_with_runs(bench, "line-f", good=("a",))
    board = Board(bench)
    wanted = {end["port"]: "passed" if end["outcome"] == "completed" else "failed" for end in ends.values()}
    wait_until(lambda: {slot["port"]: slot["state"] for s in fetch_json(board.url + "api/stations")
                        if s["station"] == "line-f" for slot in s["slots"]} == wanted,
               "line-f's slots ended on /api/stations", limit=5)  # a heartbeat at most once a second
    page = fetch(board.url, kind="text/html")
    boards = elements(page, "main", id="board")
    articles = boards and elements(boards[0][1], "article", "station", data_station="line-f")
    check([given.get("data-updates") for given, _ in elements(page, "body")] == ["0"] and len(boards) == 1 and
          len(articles) == 1 and articles[0][0].get("data-online") == "yes",
          f"no body[data-updates=0] with one main#board, line-f online in it: {page[:500]}")
    for device, state, shown in (("a", "passed", "PASS"), ("mute", "failed", "FAIL")):
        end = ends[device]
        slots = elements(articles[0][1], "tr", "slot", data_port=end["port"])
        row = slots[0][1] if len(slots) == 1 else ""
        check(len(slots) == 1 and slots[0][0].get("data-state") == state and text(row, "slot-state") == shown and
              (device != "mute" or text(row, "slot-error") == NO_ACK) and
              f"/runs/{end['run_id']}" in [a.get("href") for a, _ in elements(row, "a")], f"slot {device}: {slots}")
        rows = elements(page, "tr", "yield", data_station="line-f", data_port=end["port"])
        check(len(rows) == 1 and rows[0][0].get("data-attention") == "no", f"yield of {device}: {rows}")
        for hours in ("1h", "8h", "24h"):
            got = [text(rows[0][1], f"{what}-{hours}") for what in ("runs", "completed", "failed", "yield", "median")]
            check(got[:3] == ["1", *(("1", "0") if state == "passed" else ("0", "1"))] and None not in got,
                  f"yield of {device} over {hours}: {got}")
    failures = [(text(row, "failure-count"), text(row, "failure-text")) for _, row in elements(page, "tr", "failure")]
    newest = elements(page, "tr", "run")
    check(failures == [("1", NO_ACK)] and [given.get("data-run") for given, _ in newest] == [
        run["uuid"] for run in reversed(bench.runs())] and all(f"/runs/{given['data-run']}" in [
            a.get("href") for a, _ in elements(row, "a")] for given, row in newest), f"failures {failures}, {newest}")
    json.loads(elements(page, "script", id="chart-data")[0][1])
    live = fetch(board.url + "live")
    check(not re.search(r"<(html|body)\b", live) and sorted(given["data-port"] for given, _ in elements(
        live, "tr", "slot")) == sorted(wanted), f"/live: {live[:300]}")
    for route, status in (("chart.js", 200 if Path("/usr/share/javascript/chart.js/chart.min.js").exists() else 404),
                          ("board.js", 200)):
        fetch(board.url + route, status, "javascript" if status == 200 else "")
    station.end(TERMINATED, send=signal.SIGTERM)
    wait_until(lambda: [given.get("data-online") for given, _ in elements(
        fetch(board.url), "article", "station", data_station="line-f")] == ["no"], "the ended station offline",
        limit=OFFLINE_LIMIT_S)


def listening(pid):
    """(hex address, port) of each socket the process listens on, from /proc/net/tcp and tcp6."""
    sockets = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        with suppress(FileNotFoundError):  # closed meanwhile
            sockets.add(os.readlink(f"/proc/{pid}/fd/{fd}"))
    return [(address, int(port, 16)) for table in ("/proc/net/tcp", "/proc/net/tcp6")
            for fields in map(str.split, Path(table).read_text().splitlines()[1:])
            if fields[3] == "0A" and f"socket:[{fields[9]}]" in sockets for address, port in [fields[1].split(":")]]


def board_safe_by_default(bench):
    """Loopback only unless told; refuses what it cannot do; neither a long request line nor 200
    idle connections end or starve it; the store stays as it was."""
    station, ends = station_with_runs(bench, "line-g", good=("a",))
    station.end(TERMINATED, send=signal.SIGTERM)
    tables = [row["name"] for row in store_rows(bench.db, "SELECT name FROM sqlite_master WHERE type = 'table'")]

    def store():  # the file's bytes, each table's rows, the files beside it
        return (bench.db.read_bytes(), {t: store_rows(bench.db, f'SELECT count(*) AS n FROM "{t}"')[0]["n"] for t in
                                        tables}, sorted(n for n in os.listdir(bench.work) if not n.endswith("-shm")))
    before = store()
    with socket.socket() as held:
        held.bind(("127.0.0.1", 0))
        held.listen()
        for arguments, reason in ((["--listen", "nonsense"], "--listen"), (["--db", "none.db"], "none.db"),
                                  (["--listen", f"127.0.0.1:{held.getsockname()[1]}"], "in use")):
            command = ["board", *(["--db", str(bench.db)] if "--db" not in arguments else []), *arguments]
            done = bench.tovrin_run(*command, limit=REQUEST_LIMIT_S)
            check(done.returncode == 2 and done.stderr.startswith("tovrin: ") and reason in done.stderr,
                  f"tovrin {' '.join(command)}: {done.returncode} {done.stderr}")
    board = Board(bench)
    check(board.url.startswith("http://127.0.0.1:") and not board.url.endswith(":0/") and
          {address for address, _ in listening(board.process.pid)} == {"0100007F"},
          f"--listen 127.0.0.1:0: {board.line!r}, listening on {listening(board.process.pid)}")
    second = bench.tovrin_run("board", "--db", str(bench.db), "--listen", urlsplit(board.url).netloc,
                              limit=REQUEST_LIMIT_S)  # a board's port is its own: not shared with another
    check(second.returncode == 2 and "in use" in second.stderr, f"a second board on {board.url}: {second}")
    try:
        with socket.socket() as probe:
            probe.bind(("0.0.0.0", 8080))
    except OSError:
        print("port 8080 is taken on this machine: the default address is not checked")
    else:
        default = Board(bench, listen=None)
        check(default.url == "http://127.0.0.1:8080/" and listening(default.process.pid) == [("0100007F", 8080)],
              f"without --listen: {default.line!r}, listening on {listening(default.process.pid)}")
        default.stop()
    address = (urlsplit(board.url).hostname, urlsplit(board.url).port)
    with socket.create_connection(address, timeout=REQUEST_LIMIT_S) as long:
        long.sendall(b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\nHost: board\r\n\r\n")
        status_line = long.makefile("rb").readline()
    check(re.match(rb"HTTP/1\.[01] (414|400) ", status_line), f"a 20000-byte request line: {status_line[:80]!r}")
    idle = [socket.create_connection(address, timeout=REQUEST_LIMIT_S) for _ in range(200)]
    try:
        threads = re.search(r"^Threads:\s+(\d+)", Path(f"/proc/{board.process.pid}/status").read_text(), re.M)[1]
        asked = time.monotonic()
        fetch(board.url + "api/stations")
        print(f"beside 200 idle connections: answered in {time.monotonic() - asked:.2f} s, {threads} threads")
        check(int(threads) < 100, f"the board runs {threads} threads for 200 idle connections")
    finally:
        for connection in idle[:-1]:
            connection.close()
    with idle[-1] as connection, suppress(ConnectionResetError):  # the board ends an idle connection itself
        try:
            check(connection.recv(1) == b"", "an idle connection got bytes")
        except socket.timeout:
            raise Failure(f"an idle connection was left open for {REQUEST_LIMIT_S} s")
    for route in ("", "live", "api/stations", "api/runs?limit=1000", "metrics", "runs/" + ends["a"]["run_id"]):
        fetch(board.url + route)
        check(board.process.poll() is None, f"the board ended after /{route}")
    board.stop()
    after = store()
    check(after[0] == before[0], "the board changed the store's file")
    check(after[1:] == before[1:], f"rows or files changed: {before[1:]} -> {after[1:]}")


SCENARIOS = {f.__name__: f for f in [
    board_live_slots, board_charts_have_data, board_run_page, board_escapes_names, board_metrics_agree_with_store,
    board_without_javascript, board_safe_by_default]}

if __name__ == "__main__":
    sys.exit(run_scenarios(SCENARIOS))
