#!/usr/bin/env python3
"""The board (`tovrin board`) over the record store of a station that loads simulated devices:
its page read by headless Chromium through chromedriver (Debian's chromium, chromium-driver and
python3-selenium), its routes read with urllib, its metrics parsed and held against the rows.

  board_e2e.py SCENARIO --tovrin TOVRIN --sim SIM --mkexample MKEXAMPLE
  board_e2e.py list

Selenium is Debian's package, for Debian's /usr/bin/python3: run by another interpreter, the
script starts itself again under that one. TOVRIN_BOARD_SCREENSHOT=FILE: the live scenario saves
the page (1280x900) while a board loads beside three that have passed.
"""
import json
import os
import queue
import re
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
import uuid
from collections import Counter, defaultdict
from contextlib import closing
from datetime import datetime, timedelta, timezone
from html.parser import HTMLParser
from pathlib import Path

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
    from selenium.common.exceptions import NoAlertPresentException, TimeoutException
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    webdriver = None

LIMIT_S = 40         # a page or a store reaching a state
REQUEST_LIMIT_S = 10  # one HTTP answer
FRESH_LIMIT_S = 10   # a request beside 200 idle connections
OFFLINE_LIMIT_S = 3  # an ended station shown offline: at the board's next reading, not after 30 s
TERMINATED = 128 + signal.SIGTERM
NO_ACK = "*** No Ack received (Timeout)"
NASTY_STATION = "<script>alert(1)</script>"
NASTY_ENTRY = "<b>&\"'"
NEWLINE_STATION = 'x"y\\z\nw'
OUTCOMES = ("completed", "failed", "cancelled", "not-started", "interrupted")


# --- the board, HTTP, the browser ---

class Board:
    """tovrin board on a store, its address read from the one line it prints."""

    def __init__(self, bench, db=None, listen="127.0.0.1:0"):
        command = [bench.tovrin, "board", "--db", str(db or bench.db), *(["--listen", listen] if listen else [])]
        self.process = subprocess.Popen(command, cwd=bench.work, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True)
        bench.cleanups.append(lambda: self.process.poll() is None and self.process.kill())
        lines, self.errors = queue.Queue(), []
        # Both outputs read to their end, so that the board never waits on a full pipe.
        threading.Thread(target=lambda: [lines.put(line) for line in self.process.stdout] + [lines.put("")],
                         daemon=True).start()
        self.error_reader = threading.Thread(target=lambda: self.errors.extend(self.process.stderr), daemon=True)
        self.error_reader.start()
        try:
            self.line = lines.get(timeout=LIMIT_S)
        except queue.Empty:
            raise Failure(f"the board printed nothing within {LIMIT_S} s")
        found = re.search(r"board: (http://\S+/)", self.line)
        if not found:
            self.process.kill()
            self.error_reader.join(timeout=REQUEST_LIMIT_S)
            raise Failure(f"the board did not tell its address: {self.line!r} {''.join(self.errors)}")
        self.url = found.group(1)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=REQUEST_LIMIT_S)
        except subprocess.TimeoutExpired:
            raise Failure("the board did not end on SIGTERM")
        self.error_reader.join(timeout=REQUEST_LIMIT_S)
        check(self.process.returncode == 0, f"the board ended with {self.process.returncode} on SIGTERM: "
                                            f"{''.join(self.errors)}")


def fetch(url, limit=REQUEST_LIMIT_S):
    """(status, content type, body) of one GET; an error status is an answer too."""
    try:
        with urllib.request.urlopen(url, timeout=limit) as answer:
            return answer.status, answer.headers.get("Content-Type", ""), answer.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.headers.get("Content-Type", ""), error.read().decode(errors="replace")
    except OSError as error:  # no answer within the limit, or none at all
        raise Failure(f"{url}: {error}")


def fetch_json(url):
    status, kind, body = fetch(url)
    check(status == 200 and "json" in kind, f"{url}: {status} {kind} {body[:300]}")
    return json.loads(body)


def query(board, route, **parameters):
    return f"{board.url}{route}?{urllib.parse.urlencode(parameters)}" if parameters else board.url + route


class Browser:
    """Headless Chromium through chromedriver; gone with the bench."""

    def __init__(self, bench):
        check(webdriver is not None, "python3-selenium is missing (scripts/setup.sh installs it)")
        options = Options()
        options.binary_location = "/usr/bin/chromium"
        profile = tempfile.mkdtemp(prefix="chromium.", dir=bench.work)
        for argument in ("--headless=new", "--disable-gpu", f"--user-data-dir={profile}", "--window-size=1280,900",
                         *(["--no-sandbox"] if os.geteuid() == 0 else [])):
            options.add_argument(argument)
        self.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        bench.cleanups.append(self.driver.quit)
        # The page itself 1280x900, whatever the window's frame takes.
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": 1280, "height": 900, "deviceScaleFactor": 1, "mobile": False})

    def until(self, what, read, accept, limit=LIMIT_S):
        """Waits (bounded) until accept(read()) holds on the page; the value read."""
        seen = []

        def probe(_):
            seen[:] = [read()]
            return accept(seen[0]) and seen
        try:
            return WebDriverWait(self.driver, limit, poll_frequency=0.1).until(probe)[0]
        except TimeoutException:
            raise Failure(f"{what}: not within {limit} s; the page shows {seen[0] if seen else None!r}")

    def run(self, script, *args):
        return self.driver.execute_script(script, *args)


# The page's live state as a script reads it: its slots, its yield rows.
SLOTS = """return Array.from(document.querySelectorAll("tr.slot")).map(row => ({port: row.dataset.port,
    state: row.dataset.state, text: row.querySelector("td.slot-state")?.textContent ?? "",
    error: row.querySelector("td.slot-error")?.textContent ?? "",
    run: row.querySelector("td.slot-run a")?.getAttribute("href") ?? ""}));"""
YIELD = """return Array.from(document.querySelectorAll("#yield tr.yield")).map(row => ({station: row.dataset.station,
    port: row.dataset.port, attention: row.dataset.attention, cells: Object.fromEntries(Array.from(
    row.querySelectorAll("td")).flatMap(td => Array.from(td.classList).map(c => [c, td.textContent.trim()])))}));"""
# A station's name, its one slot and the yield rows as shown; markup or scripts made of the names.
SHOWN = """const a = Array.from(document.querySelectorAll("article.station")).find(
    a => a.dataset.station === arguments[0]); if (!a) return null; const s = a.querySelector("tr.slot");
return {name: a.querySelector("h2.station-name")?.textContent, port: s?.dataset.port, state: s?.dataset.state,
    shown: s?.querySelector("td.slot-port")?.textContent, yield: Array.from(document.querySelectorAll(
    "#yield tr.yield")).map(r => [r.dataset.station, r.dataset.port]), bold: Array.from(document.querySelectorAll(
    "#board b")).filter(b => b.textContent.startsWith("&")).length, scripts: Array.from(document.scripts).filter(
    s => s.type !== "application/json" && s.textContent.includes("alert(1)")).length};"""
# Every state and text each slot shows, noted at every change of the page, and a mark that
# stays only as long as the page is not loaded again.
RECORDER = """window.__loadedOnce = 1; window.__seen = {};
const note = () => { for (const row of document.querySelectorAll("tr.slot")) {
    const seen = window.__seen[row.dataset.port] = window.__seen[row.dataset.port] || [];
    const cell = row.querySelector("td.slot-state");
    const entry = [row.dataset.state, cell ? cell.textContent.trim() : ""];
    const last = seen[seen.length - 1];
    if (!last || last[0] !== entry[0] || last[1] !== entry[1]) seen.push(entry); } };
note(); new MutationObserver(note).observe(document.documentElement,
    {subtree: true, childList: true, attributes: true, characterData: true});"""


# --- HTML as served, and the metrics ---

class Node:
    def __init__(self, tag, attrs, parent):
        self.tag, self.attrs, self.parent, self.children = tag, dict(attrs), parent, []

    def text(self):
        return "".join(child if isinstance(child, str) else child.text() for child in self.children)

    def find(self, tag=None, cls=None, **attrs):
        """Descendants by tag, class and attributes (data_state= for data-state)."""
        for child in self.children:
            if isinstance(child, Node):
                if ((tag is None or child.tag == tag) and (cls is None or cls in child.attrs.get("class", "").split())
                        and all(child.attrs.get(k.replace("_", "-")) == v for k, v in attrs.items())):
                    yield child
                yield from child.find(tag, cls, **attrs)

    def cell(self, cls):
        return next((node.text().strip() for node in self.find("td", cls)), None)


class Tree(HTMLParser):
    VOID = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source", "track", "wbr"}
    IMPLIED = {"td": {"td", "th"}, "th": {"td", "th"}, "tr": {"tr", "td", "th"}, "li": {"li"}, "p": {"p"}}

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.root = self.current = Node("#document", {}, None)
        self.feed(text)
        self.close()

    def handle_starttag(self, tag, attrs):
        while self.current.tag in self.IMPLIED.get(tag, ()):
            self.current = self.current.parent
        node = Node(tag, attrs, self.current)
        self.current.children.append(node)
        if tag not in self.VOID:
            self.current = node

    def handle_endtag(self, tag):
        node = self.current
        while node.parent is not None and node.tag != tag:
            node = node.parent
        if node.parent is not None:
            self.current = node.parent

    def handle_data(self, data):
        self.current.children.append(data)


SAMPLE = re.compile(r"([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})? (\S+)(?: -?\d+)?")
LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\.)*)"(?:,|$)')
ESCAPES = {"\\": "\\", '"': '"', "n": "\n"}


def escaped(value):
    return value.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def parse_metrics(text):
    """The Prometheus text format: ({(name, frozenset of (label, value)): value}, {name: type});
    a line out of the format, an unknown escape or a sample given twice is a failure."""
    samples, types = {}, {}
    for line in text.splitlines():
        typed = re.fullmatch(r"# TYPE (\S+) (counter|gauge|histogram|summary|untyped)", line)
        if typed:
            types[typed.group(1)] = typed.group(2)
        if not line or line.startswith("#"):
            continue
        sample = SAMPLE.fullmatch(line)
        check(sample is not None, f"/metrics: not a sample: {line!r}")
        labels, rest = {}, sample.group(2) or ""
        while rest:
            label = LABEL.match(rest)
            check(label is not None, f"/metrics: bad labels in {line!r}")
            bad = re.search(r"\\[^\\\"n]", label.group(2).replace("\\\\", ""))
            check(bad is None, f"/metrics: unknown escape in {line!r}")
            labels[label.group(1)] = re.sub(r"\\(.)", lambda m: ESCAPES[m.group(1)], label.group(2))
            rest = rest[label.end():]
        key = (sample.group(1), frozenset(labels.items()))
        check(key not in samples, f"/metrics: {line!r} twice")
        samples[key] = float(sample.group(3))
    return samples, types


def series(samples, name):
    return [(dict(labels), value) for (sampled, labels), value in samples.items() if sampled == name]


def metrics(board):
    status, kind, body = fetch(board.url + "metrics")
    check(status == 200 and kind.startswith("text/plain"), f"/metrics: {status} {kind}")
    return body, *parse_metrics(body)


# --- the store and the station ---

def iso(moment):
    return moment.strftime("%Y-%m-%dT%H:%M:%S.") + f"{moment.microsecond // 1000:03d}Z"


def store_rows(db, sql="SELECT * FROM runs", args=()):
    with closing(sqlite3.connect(f"file:{db}?mode=ro", uri=True)) as store:
        store.row_factory = sqlite3.Row
        return [dict(row) for row in store.execute(sql, args)]


def recorded(db, ends):
    """Waits until the runs of these device_end events are in the store as they ended (a station
    writes a row after the event)."""
    wanted = {event["run_id"]: event["outcome"] for event in ends}
    wait_until(lambda: {row["uuid"]: row["outcome"] for row in store_rows(db, "SELECT uuid, outcome FROM runs")
                        if row["uuid"] in wanted} == wanted, "the station's runs written", limit=LIMIT_S)


def add_runs(db, *changes):
    """Rows beside the station's: copies of its first row, completed, with these columns changed,
    each with a run id of its own."""
    with closing(sqlite3.connect(db, timeout=30)) as store:
        store.row_factory = sqlite3.Row
        template = dict(store.execute("SELECT * FROM runs ORDER BY id LIMIT 1").fetchone())
        del template["id"]
        for change in changes:
            row = {**template, "outcome": "completed", "uuid": str(uuid.uuid4()), **change}
            store.execute(f"INSERT INTO runs ({', '.join(row)}) VALUES ({', '.join('?' * len(row))})",
                          list(row.values()))
        store.commit()


def plug_held(bench, name, *extra):
    """A device that stays plugged after its run, as a board left in its socket: its line is held
    open here too, so that the simulator does not take the station's close for its end."""
    sim = bench.plug(name, "--linger", "90", *extra)
    held = os.open(sim.pty, os.O_RDWR | os.O_NOCTTY)
    bench.cleanups.append(lambda: os.close(held))
    return sim


def station_with_runs(bench, name, good=("a", "b"), silent=("mute",), baud="115200", extra=()):
    """A station named `name` whose devices have ended and stay plugged: the good ones completed,
    the silent ones failed; (station, {device: its device_end event})."""
    station = Station(bench, "--retries", "2", "--station-name", name, baud=baud)
    bench.cleanups.append(lambda: station.process.poll() is None and station.process.kill())
    for device in good:
        plug_held(bench, device, *extra)
    for device in silent:
        bench.plug(device, "--silent")
    ends = {device: station.wait_for("device_end", on_port(device))[1] for device in (*good, *silent)}
    check([ends[d]["outcome"] for d in good] == ["completed"] * len(good) and
          [ends[d]["outcome"] for d in silent] == ["failed"] * len(silent), f"the station's runs: {ends}")
    recorded(bench.db, ends.values())
    return station, ends


def settled(board, name, ends, limit=5):
    """Waits until the board shows the station's heartbeat with each device's run ended (the
    station beats at most once a second while something changes)."""
    wanted = {end["port"]: "passed" if end["outcome"] == "completed" else "failed" for end in ends.values()}

    def shown():
        found = [s for s in fetch_json(board.url + "api/stations") if s["station"] == name]
        return found and {slot["port"]: slot["state"] for slot in found[0]["slots"] if slot["port"] in wanted} == wanted
    wait_until(shown, f"{name}'s slots ended on /api/stations", limit=limit)


# --- the scenarios ---

def board_live_slots(bench):
    """One page, never loaded again, follows four devices from loading to PASS (three) and FAIL
    (the silent one); the silent port failing three times in a row asks for attention."""
    station = Station(bench, "--retries", "2", "--station-name", "line-a", baud="9600")
    bench.cleanups.append(lambda: station.process.poll() is None and station.process.kill())
    board = Board(bench)
    browser = Browser(bench)
    browser.driver.get(board.url)
    browser.run(RECORDER)
    loaded, updates = time.monotonic(), int(browser.run("return document.body.dataset.updates"))
    for device in ("a", "b", "c"):
        plug_held(bench, device, "--baud", "9600")
    mute = bench.plug("mute", "--silent")
    ends = {device: station.wait_for("device_end", on_port(device)) for device in ("a", "b", "c", "mute")}
    port = {device: event["port"] for device, (_, event) in ends.items()}
    wanted = {port[d]: "passed" for d in "abc"} | {port["mute"]: "failed"}
    slots = browser.until("three slots PASS and the silent one FAIL", lambda: browser.run(SLOTS),
                          lambda slots: {slot["port"]: slot["state"] for slot in slots} == wanted)
    for slot in slots:
        device = next(d for d in port if port[d] == slot["port"])
        check(slot["text"].strip() == ("FAIL" if device == "mute" else "PASS") and slot["run"] and
              slot["run"].endswith("/runs/" + ends[device][1]["run_id"]), f"slot {device}: {slot}")
        check(device != "mute" or slot["error"].strip() == NO_ACK, f"slot {device}: {slot}")
    seen = browser.run("return window.__seen")
    for device in port:
        states = [state for state, _ in seen.get(port[device], [])]
        loading = [text for state, text in seen.get(port[device], []) if state == "loading"]
        check("loading" in states and states[-1] == wanted[port[device]] and
              all(re.fullmatch(r"loading step \d+/2 \d+ %", text) for text in loading), f"{device}: {seen}")
    grown = int(browser.run("return document.body.dataset.updates")) - updates
    check(grown >= max(2, int(time.monotonic() - loaded) // 3),
          f"{grown} refreshes in {time.monotonic() - loaded:.0f} s")

    def counted(rows, failures):
        """The yield rows of the four ports as they should be: (runs, completed, failed, attention)."""
        shown = {r["port"]: (r["cells"].get("runs-1h"), r["cells"].get("completed-1h"), r["cells"].get("failed-1h"),
                             r["attention"], r["cells"].get("attention")) for r in rows if r["station"] == "line-a"}
        return all(shown.get(port[d]) == ("1", "1", "0", "no", None) for d in "abc") and shown.get(port["mute"]) == (
            str(failures), "0", str(failures), *(("yes", "attention") if failures == 3 else ("no", None)))
    browser.until("the yield of the four ports, the silent one failed once", lambda: browser.run(YIELD),
                  lambda rows: counted(rows, 1))
    ended = ends["mute"][0]
    for again in (2, 3):  # the silent board plugged again: its second and third failure in a row
        mute.finish(limit=0)
        gone, _ = station.wait_for("device_removed", on_port("mute"), after=ended)
        mute = bench.plug("mute", "--silent")
        if again == 2 and os.environ.get("TOVRIN_BOARD_SCREENSHOT"):
            shot = Path(os.environ["TOVRIN_BOARD_SCREENSHOT"])
            browser.until("the plugged again board loading", lambda: browser.run(SLOTS),
                          lambda slots: any(s["port"] == port["mute"] and s["state"] == "loading" for s in slots))
            shot.parent.mkdir(parents=True, exist_ok=True)
            browser.driver.save_screenshot(str(shot))
        ended, end = station.wait_for("device_end", on_port("mute"), after=gone)
        check(end["outcome"] == "failed", f"the silent board's run {again}: {end}")
    browser.until("attention for the port that failed 3 times in a row", lambda: browser.run(YIELD),
                  lambda rows: counted(rows, 3))
    check(browser.run("return window.__loadedOnce") == 1, "the page was loaded again")
    station.end(TERMINATED, send=signal.SIGTERM)
    browser.until("the stopped station offline", lambda: browser.run(
        "return Array.from(document.querySelectorAll('article.station')).map(a => [a.dataset.station, "
        "a.dataset.online])"), lambda shown: shown == [["line-a", "no"]], limit=5)


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
    board = Board(bench)
    browser = Browser(bench)
    browser.driver.get(board.url)
    drawn = browser.until("the runs chart drawn", lambda: browser.run(
        "const c = window.Chart && Chart.getChart('runs-chart');"
        "return c ? c.data.datasets.map(d => ({label: String(d.label), data: d.data.map(Number)})) : null"),
        lambda drawn: drawn is not None)
    served = json.loads(browser.run("return document.getElementById('chart-data').textContent"))
    hours = [datetime.fromisoformat(label.replace("Z", "+00:00")) for label in served["hours"]]
    hours = [h if h.tzinfo else h.replace(tzinfo=timezone.utc) for h in hours]
    check(len(hours) == 24 and all(b - a == timedelta(hours=1) for a, b in zip(hours, hours[1:])) and
          hours[-1] in (hour, datetime.now(timezone.utc).replace(minute=0, second=0, microsecond=0)),
          f"hour labels {served['hours']}")
    outcomes = served["outcomes"]
    check(set(outcomes) <= set(OUTCOMES) and all(len(counts) == 24 for counts in outcomes.values()),
          f"outcomes {outcomes}")
    total = [sum(column) for column in zip(*outcomes.values())]
    check(sum(total) == finished, f"{sum(total)} runs in #chart-data, {finished} in the store")
    at = hours.index(hour - timedelta(hours=2))
    check({k: v[at] for k, v in outcomes.items() if v[at]} == {"completed": 1}, f"at {hours[at]}: {outcomes}")
    recent = {k: sum(v[-2:]) for k, v in outcomes.items() if sum(v[-2:])}
    check(recent == {"completed": 2, "failed": 1}, f"the last hours: {recent}")
    drawn_total = [sum(column) for column in zip(*(d["data"] for d in drawn))] if drawn else []
    check(drawn_total == total, f"drawn {drawn}, served {outcomes}")
    for dataset in drawn:
        if dataset["label"].lower() in outcomes:
            check(dataset["data"] == outcomes[dataset["label"].lower()], f"dataset {dataset}, served {outcomes}")
    durations = served["durations"]
    check(len(durations["labels"]) == len(durations["counts"]) and sum(durations["counts"]) == finished,
          f"durations {durations}")
    histogram = browser.run("const c = Chart.getChart('durations-chart');"
                            "return c ? c.data.datasets.map(d => d.data.map(Number)) : null")
    check(histogram is not None and [sum(column) for column in zip(*histogram)] == durations["counts"],
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
        status, kind, body = fetch(board.url + "runs/" + run["uuid"])
        check(status == 200 and kind.startswith("text/html"), f"/runs/{run['uuid']}: {status} {kind}")
        page = Tree(body).root.text()
        written = Path(run["log_file"]).read_bytes().decode("cp1252")
        missing = [line for line in written.split("\r\n") if line.strip() and line not in page]
        check(written.strip() and not missing, f"/runs/{run['uuid']} lacks lines of its log: {missing[:3]}")
        facts = [run["uuid"], run["port"], run["outcome"], run["configuration_sha256"]]
        if run["outcome"] == "failed":
            facts.append(NO_ACK)
        check(all(fact in page for fact in facts), f"/runs/{run['uuid']}: not all of {facts}")
    one = ends["a"]["run_id"]
    for route in ("runs/" + str(uuid.uuid4()), "runs/not-a-uuid", "runs/" + one[:-1], "runs/" + one + "0",
                  "runs/" + urllib.parse.quote("1' OR '1'='1"), "runs/", "nothing", "api/nothing", "index.html"):
        status, _, _ = fetch(board.url + route)
        check(status == 404, f"/{route}: {status}, not 404")
    port = ends["mute"]["port"]
    for filters in ({}, {"outcome": "failed"}, {"port": port}, {"limit": "1"}, {"limit": "1000"},
                    {"station": "line-c"}, {"station": "nobody"}, {"since": "1h"}, {"outcome": "completed",
                                                                                       "limit": "5"}):
        listed = fetch_json(query(board, "api/runs", **filters))
        arguments = [a for k, v in {"limit": "100", **filters}.items() for a in (f"--{k}", v)]
        done = bench.tovrin_run("history", "--db", str(bench.db), "--json", *arguments)
        check(done.returncode == 0, f"history {arguments}: {done.stderr}")
        wanted = [{k: v for k, v in run.items() if k != "log"} for run in json.loads(done.stdout)]
        given = [{k: v for k, v in run.items() if k != "log"} for run in listed]
        at = next((i for i, (a, b) in enumerate(zip(given, wanted)) if a != b), min(len(given), len(wanted)))
        check(given == wanted, f"/api/runs {filters}: {len(given)} runs, history {' '.join(arguments)} "
                               f"{len(wanted)}; from {at}: {given[at:at + 1]} / {wanted[at:at + 1]}")
    for filters in ({"limit": "many"}, {"limit": "-1"}, {"outcome": "exploded"}, {"since": "the day before"},
                    {"colour": "red"}):
        status, kind, body = fetch(query(board, "api/runs", **filters))
        check(status == 400 and "json" in kind and isinstance(json.loads(body).get("error"), str),
              f"/api/runs {filters}: {status} {kind} {body[:200]}")


def board_escapes_names(bench):
    """A station named like a script and a port named like markup: shown as text, given back
    exactly, no script runs; metrics escape a label's backslash, quote and line end."""
    station = Station(bench, "--station-name", NASTY_STATION)
    bench.cleanups.append(lambda: station.process.poll() is None and station.process.kill())
    plug_held(bench, NASTY_ENTRY)
    _, end = station.wait_for("device_end")
    port = str(bench.watch / NASTY_ENTRY)
    check(end["port"] == port and end["outcome"] == "completed", f"{end}")
    recorded(bench.db, [end])
    add_runs(bench.db, dict(station=NEWLINE_STATION, port="/dev/ttyUSB0"))
    board = Board(bench)
    browser = Browser(bench)
    browser.driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": (
        "window.__alerts = []; for (const f of ['alert', 'confirm', 'prompt'])"
        " window[f] = m => { window.__alerts.push(f + ':' + m); };")})
    browser.driver.get(board.url)
    shown = browser.until("the station and its slot shown", lambda: browser.run(SHOWN, NASTY_STATION),
                          lambda shown: shown and shown["state"] == "passed")
    check(shown["name"] == NASTY_STATION and shown["port"] == port and shown["state"] == "passed" and
          NASTY_ENTRY in shown["shown"] and [NASTY_STATION, port] in shown["yield"] and
          shown["bold"] == 0 and shown["scripts"] == 0, f"the page shows {shown}")
    check(browser.run("return window.__alerts") == [], f"alerts: {browser.run('return window.__alerts')}")
    try:
        text = browser.driver.switch_to.alert.text
        raise Failure(f"an alert is open: {text!r}")
    except NoAlertPresentException:
        pass
    stations = fetch_json(board.url + "api/stations")
    mine = [s for s in stations if s["station"] == NASTY_STATION]
    check(len(mine) == 1 and [slot["port"] for slot in mine[0]["slots"]] == [port], f"/api/stations {stations}")
    listed = fetch_json(query(board, "api/runs", station=NASTY_STATION))
    check([run["port"] for run in listed] == [port], f"/api/runs?station=...: {listed}")
    body, samples, _ = metrics(board)
    for label in (("station", NASTY_STATION), ("port", port), ("station", NEWLINE_STATION)):
        raw = f'{label[0]}="{escaped(label[1])}"'
        check(re.search(r"^tovrin_runs_total\{.*" + re.escape(raw), body, re.M), f"/metrics lacks {raw}:\n{body}")
    totals = {(l["station"], l["port"]): v for l, v in series(samples, "tovrin_runs_total") if v}
    check(totals == {(NASTY_STATION, port): 1, (NEWLINE_STATION, "/dev/ttyUSB0"): 1}, f"runs_total {totals}")
    station.end(TERMINATED, send=signal.SIGTERM)


def board_metrics_agree_with_store(bench):
    """/metrics against the rows: runs per station, port and outcome, the run time histogram per
    station and outcome, the slots and the stations up and then down."""
    station, ends = station_with_runs(bench, "line-e")
    add_runs(bench.db, dict(outcome="cancelled", seconds=0.7), dict(outcome="not-started", seconds=0.0),
             dict(station="line-x", port="/dev/ttyUSB3", seconds=42.0), dict(outcome="interrupted", seconds=1.5))
    board = Board(bench)
    _, samples, types = metrics(board)
    expected_types = {"tovrin_runs_total": "counter", "tovrin_run_duration_seconds": "histogram",
                      "tovrin_slots": "gauge", "tovrin_records_pending": "gauge", "tovrin_station_up": "gauge"}
    check(all(types.get(k) == v for k, v in expected_types.items()), f"# TYPE lines {types}")
    rows = store_rows(bench.db, "SELECT station, port, outcome, seconds FROM runs WHERE outcome != 'running'")
    counted = Counter((r["station"], r["port"], r["outcome"]) for r in rows)
    totals = {(l["station"], l["port"], l["outcome"]): v for l, v in series(samples, "tovrin_runs_total") if v}
    check(totals == counted, f"tovrin_runs_total {totals}, the store {dict(counted)}")
    seconds = defaultdict(list)
    for row in rows:
        seconds[row["station"], row["outcome"]].append(row["seconds"])
    buckets = defaultdict(list)
    for labels, value in series(samples, "tovrin_run_duration_seconds_bucket"):
        buckets[labels["station"], labels["outcome"]].append((float(labels["le"]), value))
    check(set(buckets) == set(seconds), f"histograms of {sorted(buckets)}, runs of {sorted(seconds)}")
    for key, times in seconds.items():
        labels = frozenset({"station": key[0], "outcome": key[1]}.items())
        count, total = samples.get(("tovrin_run_duration_seconds_count", labels)), \
            samples.get(("tovrin_run_duration_seconds_sum", labels))
        check(count == len(times) and total is not None and abs(total - sum(times)) < 1e-3 * max(1, sum(times)),
              f"{key}: _count {count}, _sum {total}; the store {len(times)}, {sum(times)}")
        ladder = sorted(buckets[key])
        check(ladder[-1] == (float("inf"), len(times)) and
              all(a[1] <= b[1] for a, b in zip(ladder, ladder[1:])) and
              all(value == sum(t <= le for t in times) for le, value in ladder), f"{key}: buckets {ladder} of {times}")
    check(samples.get(("tovrin_station_up", frozenset({"station": "line-e"}.items()))) == 1, "line-e is not up")

    def agree():
        listed = next(s for s in fetch_json(board.url + "api/stations") if s["station"] == "line-e")
        _, now, _ = metrics(board)
        slots = {l["state"]: v for l, v in series(now, "tovrin_slots") if l["station"] == "line-e"}
        states = Counter(slot["state"] for slot in listed["slots"])
        pending = now.get(("tovrin_records_pending", frozenset({"station": "line-e"}.items())))
        return ({k: v for k, v in slots.items() if v} == states and sum(slots.values()) == len(listed["slots"])
                and slots.get("failed", 0) >= 1 and pending == listed["records_pending"])
    wait_until(agree, "tovrin_slots and records_pending as /api/stations tells them", limit=10)
    station.end(TERMINATED, send=signal.SIGTERM)
    ended = time.monotonic()
    wait_until(lambda: metrics(board)[1].get(("tovrin_station_up", frozenset({"station": "line-e"}.items()))) == 0,
               "tovrin_station_up 0 for the ended station", limit=OFFLINE_LIMIT_S)
    print(f"tovrin_station_up 0 {time.monotonic() - ended:.2f} s after the station ended")


def board_without_javascript(bench):
    """The page as served, read without a browser: the station, its slots, the yield, the
    failures and the newest runs are in the HTML; /live is the same part alone."""
    station, ends = station_with_runs(bench, "line-f", good=("a",))
    board = Board(bench)
    settled(board, "line-f", ends)
    status, kind, body = fetch(board.url)
    check(status == 200 and kind.startswith("text/html"), f"/: {status} {kind}")
    page = Tree(body).root
    check([b.attrs.get("data-updates") for b in page.find("body")] == ["0"], "body[data-updates] is not 0")
    boards = list(page.find("main", id="board"))
    check(len(boards) == 1, "no main#board")
    articles = list(boards[0].find("article", "station", data_station="line-f"))
    check(len(articles) == 1 and articles[0].attrs.get("data-online") == "yes", "no article for line-f online")
    for device, state, text in (("a", "passed", "PASS"), ("mute", "failed", "FAIL")):
        end = ends[device]
        slots = list(articles[0].find("tr", "slot", data_port=end["port"]))
        check(len(slots) == 1 and slots[0].attrs.get("data-state") == state and slots[0].cell("slot-state") == text,
              f"slot {device}: {[(s.attrs, s.text()) for s in slots]}")
        links = [a.attrs.get("href") for a in slots[0].find("a")]
        check(f"/runs/{end['run_id']}" in links, f"slot {device}: links {links}")
        if device == "mute":
            check(slots[0].cell("slot-error") == NO_ACK, f"slot error {slots[0].cell('slot-error')!r}")
        rows = list(page.find("tr", "yield", data_station="line-f", data_port=end["port"]))
        check(len(rows) == 1 and rows[0].attrs.get("data-attention") == "no", f"yield of {device}")
        for hours in ("1h", "8h", "24h"):
            got = [rows[0].cell(f"{what}-{hours}") for what in ("runs", "completed", "failed")]
            check(got == ["1", *(("1", "0") if state == "passed" else ("0", "1"))] and
                  rows[0].cell(f"yield-{hours}") is not None and rows[0].cell(f"median-{hours}") is not None,
                  f"yield of {device} over {hours}: {got}")
    failures = [(row.cell("failure-count"), row.cell("failure-text")) for row in page.find("tr", "failure")]
    check(failures == [("1", NO_ACK)], f"failures {failures}")
    newest = [row.attrs.get("data-run") for row in page.find("tr", "run")]
    check(newest == [run["uuid"] for run in reversed(bench.runs())], f"newest runs {newest}")
    for row in page.find("tr", "run"):
        check(f"/runs/{row.attrs['data-run']}" in [a.attrs.get("href") for a in row.find("a")], "a run without link")
    json.loads(next(page.find("script", id="chart-data")).text())
    status, kind, live = fetch(board.url + "live")
    fragment = Tree(live).root
    check(status == 200 and not list(fragment.find("html")) and not list(fragment.find("body")) and
          sorted(s.attrs["data-port"] for s in fragment.find("tr", "slot")) == sorted(e["port"] for e in ends.values()),
          f"/live: {status} {live[:300]}")
    chart_js = Path("/usr/share/javascript/chart.js/chart.min.js").exists()
    for route, wanted in (("chart.js", 200 if chart_js else 404), ("board.js", 200)):
        status, kind, text = fetch(board.url + route)
        check(status == wanted and (status != 200 or "javascript" in kind), f"/{route}: {status} {kind}")
    station.end(TERMINATED, send=signal.SIGTERM)
    wait_until(lambda: [a.attrs.get("data-online") for a in Tree(fetch(board.url)[2]).root.find(
        "article", "station", data_station="line-f")] == ["no"], "the ended station offline", limit=OFFLINE_LIMIT_S)


def listening(pid):
    """The addresses (hex ip, port) the process listens on, from /proc/net/tcp and tcp6."""
    inodes = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except FileNotFoundError:
            continue  # closed meanwhile
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    found = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        for line in Path(table).read_text().splitlines()[1:]:
            fields = line.split()
            if fields[3] == "0A" and fields[9] in inodes:
                address, port = fields[1].split(":")
                found.append((address, int(port, 16)))
    return found


def board_safe_by_default(bench):
    """Loopback only unless told; refuses what it cannot do; neither a long request line nor 200
    idle connections end or starve it; the store stays as it was."""
    station, ends = station_with_runs(bench, "line-g", good=("a",))
    station.end(TERMINATED, send=signal.SIGTERM)
    tables = [row["name"] for row in store_rows(bench.db, "SELECT name FROM sqlite_master WHERE type = 'table'")]

    def store():
        """The file's bytes, each table's rows, and the files beside it."""
        return (bench.db.read_bytes(), {t: store_rows(bench.db, f'SELECT count(*) AS n FROM "{t}"')[0]["n"]
                                        for t in tables},
                sorted(name for name in os.listdir(bench.work) if not name.endswith("-shm")))
    before = store()
    with socket.socket() as held:
        held.bind(("127.0.0.1", 0))
        held.listen()
        for arguments, reason in ((["--listen", "nonsense"], "--listen"),
                                  (["--listen", f"127.0.0.1:{held.getsockname()[1]}"], "in use"),
                                  (["--db", str(bench.work / "none.db")], "none.db")):
            command = ["board", *(["--db", str(bench.db)] if "--db" not in arguments else []), *arguments]
            done = bench.tovrin_run(*command, limit=REQUEST_LIMIT_S)
            check(done.returncode == 2 and done.stderr.startswith("tovrin: ") and reason in done.stderr,
                  f"tovrin {' '.join(command)}: {done.returncode} {done.stderr}")
    board = Board(bench)
    check(board.url.startswith("http://127.0.0.1:") and not board.url.endswith(":0/"), f"{board.line!r}")
    check({address for address, _ in listening(board.process.pid)} == {"0100007F"},
          f"--listen 127.0.0.1:0 listens on {listening(board.process.pid)}")
    try:
        with socket.socket() as probe:
            probe.bind(("0.0.0.0", 8080))
        free = True
    except OSError:
        free = False
    if free:
        default = Board(bench, listen=None)
        check(default.url == "http://127.0.0.1:8080/" and listening(default.process.pid) == [("0100007F", 8080)],
              f"without --listen: {default.line!r}, listening on {listening(default.process.pid)}")
        default.stop()
    else:
        print("port 8080 is taken on this machine: the default address is not checked")
    host, port = board.url[7:-1].split(":")
    with socket.create_connection((host, int(port)), timeout=REQUEST_LIMIT_S) as long:
        long.sendall(b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\nHost: board\r\n\r\n")
        status_line = long.makefile("rb").readline()
    check(re.match(rb"HTTP/1\.[01] (414|400) ", status_line), f"a 20000-byte request line: {status_line[:80]!r}")
    idle = [socket.create_connection((host, int(port)), timeout=REQUEST_LIMIT_S) for _ in range(200)]
    try:
        threads = int(next(l for l in Path(f"/proc/{board.process.pid}/status").read_text().splitlines()
                           if l.startswith("Threads:")).split()[1])
        asked = time.monotonic()
        status, _, _ = fetch(board.url + "api/stations", limit=FRESH_LIMIT_S)
        answered = time.monotonic() - asked
        check(status == 200, f"beside 200 idle connections: {status}")
        print(f"beside 200 idle connections: answered in {answered:.2f} s, the board has {threads} threads")
        check(threads < 100, f"the board runs {threads} threads for 200 idle connections")
    finally:
        for connection in idle[:-1]:
            connection.close()
    with idle[-1] as connection:  # the board ends an idle connection by itself
        connection.settimeout(FRESH_LIMIT_S)
        try:
            check(connection.recv(1) == b"", "an idle connection got bytes")
        except ConnectionResetError:
            pass
        except socket.timeout:
            raise Failure(f"an idle connection was left open for {FRESH_LIMIT_S} s")
    for route in ("", "live", "api/stations", "api/runs?limit=1000", "metrics", "runs/" + ends["a"]["run_id"]):
        status, _, _ = fetch(board.url + route)
        check(status == 200 and board.process.poll() is None, f"/{route}: {status}")
    board.stop()
    after = store()
    check(after[0] == before[0], "the board changed the store's file")
    check(after[1:] == before[1:], f"rows or files changed: {before[1:]} -> {after[1:]}")


SCENARIOS = {f.__name__: f for f in [
    board_live_slots, board_charts_have_data, board_run_page, board_escapes_names, board_metrics_agree_with_store,
    board_without_javascript, board_safe_by_default]}

if __name__ == "__main__":
    sys.exit(run_scenarios(SCENARIOS))
