// The board: yield, attention, charts and failures worked out from rows; escaping in every
// place a field's text goes; the metrics' histogram; the stations' heartbeats and the run counts
// of the SQLite store; the heartbeat's writing.
#include "board/BoardModel.h"
#include "board/BoardPages.h"
#include "board/BoardServer.h"
#include "record/Support.h"
#include "station/Heartbeat.h"
#include "support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>

namespace {

constexpr std::time_t kNow = 1796749324; // 2026-12-08T17:02:04Z

std::string Ago(std::time_t seconds) {
    const std::time_t moment = kNow - seconds;
    std::tm parts{};
    gmtime_r(&moment, &parts);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.000Z", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

RunRecord Row(std::time_t ago, const std::string& port, const std::string& outcome, double seconds = 10,
              const std::string& error = "") {
    RunRecord run;
    run.started = Ago(ago);
    run.finished = outcome == "running" ? "" : Ago(ago - static_cast<std::time_t>(seconds));
    run.host = "rack-7";
    run.station = "line-1";
    run.port = port;
    run.outcome = outcome;
    run.errorText = error;
    run.seconds = seconds;
    run.configuration = "/srv/fw/board.cfg";
    run.configurationSha256 = std::string(64, 'a');
    run.steps = "[]";
    return run;
}

// The rows newest first, as a store gives them.
std::vector<RunRecord> NewestFirst(std::vector<RunRecord> runs) {
    std::sort(runs.begin(), runs.end(),
              [](const RunRecord& a, const RunRecord& b) { return a.started > b.started; });
    return runs;
}

const YieldRow* RowOf(const BoardView& view, const std::string& port) {
    for (const YieldRow& row : view.yield) {
        if (row.port == port) {
            return &row;
        }
    }
    return nullptr;
}

TEST(BoardView, YieldOfEachWindowAndThePortsThatKeepFailing) {
    const std::vector<RunRecord> day = NewestFirst({
        Row(100, "A", "completed", 10),
        Row(200, "A", "completed", 20),
        Row(300, "A", "failed", 5, "No answer"),
        Row(2 * 3600, "A", "completed", 30),
        Row(10 * 3600, "A", "cancelled", 1),
        Row(20 * 3600, "A", "completed", 40),
        // B: its last three runs failed, one of them interrupted; a completed one before them.
        Row(50, "B", "failed", 3, "No answer"),
        Row(150, "B", "interrupted", 0),
        Row(250, "B", "not-started", 0),
        Row(350, "B", "completed", 12),
        // C: two failed runs, then one that completed, then failures: not marked.
        Row(60, "C", "failed", 3, "Checksum"),
        Row(70, "C", "failed", 3, "Checksum"),
        Row(80, "C", "completed", 9),
        Row(90, "C", "failed", 3),
        Row(95, "C", "failed", 3),
        Row(99, "C", "failed", 3),
        // D: a cancelled run breaks nothing and counts as no failure; still running does not count.
        Row(10, "D", "running", 0),
        Row(20, "D", "cancelled", 1),
        Row(30, "D", "failed", 1, "x"),
    });
    const BoardView view = MakeBoardView(day, kNow);
    struct Case {
        std::string port;
        size_t window; // 0: 1h, 1: 8h, 2: 24h
        uint64_t runs, completed, failed;
        double percent, median;
        bool attention;
    };
    const Case cases[] = {
        {"A", 0, 3, 2, 1, 100.0 * 2 / 3, 15, false},
        {"A", 1, 4, 3, 1, 75, 20, false},
        {"A", 2, 6, 4, 1, 80, 25, false},
        {"B", 0, 4, 1, 3, 25, 12, true},
        {"C", 0, 6, 1, 5, 100.0 / 6, 9, false},
        {"D", 0, 2, 0, 1, 0, -1, false},
        {"", 2, 18, 6, 10, 37.5, 16, false}, // the station: cancelled runs are not judged
    };
    for (const Case& c : cases) {
        const YieldRow* row = RowOf(view, c.port);
        ASSERT_NE(row, nullptr) << c.port;
        const Yield& yield = row->byWindow.at(c.window);
        const std::string where = c.port + " window " + YieldWindows()[c.window].name;
        EXPECT_EQ(yield.runs, c.runs) << where;
        EXPECT_EQ(yield.completed, c.completed) << where;
        EXPECT_EQ(yield.failed, c.failed) << where;
        EXPECT_NEAR(yield.percent, c.percent, 1e-9) << where;
        EXPECT_DOUBLE_EQ(yield.median, c.median) << where;
        EXPECT_EQ(row->attention, c.attention) << where;
    }
    EXPECT_EQ(view.newest.size(), day.size());
    EXPECT_EQ(view.newest.front().port, "D"); // the newest run, still running, is listed
}

TEST(BoardView, ChartsAndFailuresOfTheDay) {
    const std::vector<RunRecord> day = NewestFirst({
        Row(60, "A", "completed", 0.5),
        Row(120, "A", "failed", 7, "No answer"),
        Row(3700, "B", "failed", 700, "No answer"),
        Row(23 * 3600 + 100, "B", "failed", 2, "Checksum"),
        Row(30, "B", "running", 0),
        Row(25 * 3600, "B", "failed", 2, "too old for the chart"),
    });
    const BoardView view = MakeBoardView(day, kNow);
    ASSERT_EQ(view.hours.size(), 24u);
    EXPECT_EQ(view.hours.back(), "2026-12-08T17:00Z");
    EXPECT_EQ(view.hours.front(), "2026-12-07T18:00Z");
    const std::map<std::string, std::vector<uint64_t>> expected = {
        {"completed", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
        {"failed", {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1}},
    };
    for (const auto& [outcome, counts] : expected) {
        EXPECT_EQ(view.perHour.at(outcome), counts) << outcome;
    }
    // <= 1 s: 1, <= 2: 1, <= 10: 1 (7 s), > 600: 1
    const std::vector<uint64_t> durations = {1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(view.durationCounts, durations);
    EXPECT_EQ(view.durationLabels.back(), "> 600 s");
    ASSERT_GE(view.failures.size(), 2u);
    EXPECT_EQ(view.failures[0].text, "No answer");
    EXPECT_EQ(view.failures[0].count, 2u);
    EXPECT_EQ(view.failures[0].ports, (std::vector<std::string>{"A", "B"}));
}

TEST(BoardPages, EscapesEveryFieldTextWhereItGoes) {
    struct Case {
        std::string text, html, label;
    };
    // JSON keeps UTF-8 as it is and gives any other text as valid UTF-8.
    const Case cases[] = {
        {"<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;", "<script>alert(1)</script>"},
        {"a&b \"q\" 'r'", "a&amp;b &quot;q&quot; &#39;r&#39;", "a&b \\\"q\\\" 'r'"},
        {"back\\slash\nline", "back\\slash\nline", "back\\\\slash\\nline"},
        {"caf\xe9", "caf\xc3\xa9", "caf\xc3\xa9"}, // not UTF-8: read as Windows-1252
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HtmlText(c.text), c.html) << c.text;
        EXPECT_EQ(MetricLabel(c.text), c.label) << c.text;
        const std::string json = JsonText({{"name", c.text}});
        EXPECT_EQ(json.find("</"), std::string::npos) << json;
        const nlohmann::json parsed = nlohmann::json::parse(json, nullptr, false);
        ASSERT_FALSE(parsed.is_discarded()) << json;
        if (Utf8Text(c.text) == c.text) {
            EXPECT_EQ(parsed["name"], c.text) << json;
        }
    }
    // The names of a station and a slot, and a run's error and log, in the page.
    BoardState state;
    StationState station;
    station.station = "<script>alert(1)</script>";
    station.slots.push_back(
        {"/dev/<b>", "<i>", "failed", "", 0, 0, 0, 1, "", "<img src=x onerror=alert(2)>"});
    state.stations.push_back(station);
    RunRecord run = Row(10, "<u>port", "failed", 1, "</td><script>alert(3)</script>");
    run.log = "</pre><script>alert(4)</script>";
    run.uuid = "0f2c5f0e-8a47-4b3c-9d1e-2a6b7c8d9e0f";
    state.view = MakeBoardView({run}, kNow);
    for (const std::string& page : {BoardPage(state), RunPage(run)}) {
        EXPECT_EQ(page.find("<script>alert"), std::string::npos) << page;
        EXPECT_EQ(page.find("<img"), std::string::npos);
        EXPECT_EQ(page.find("<b>"), std::string::npos);
        EXPECT_EQ(page.find("<u>"), std::string::npos);
    }
    EXPECT_NE(RunPage(run).find("&lt;/pre&gt;&lt;script&gt;alert(4)"), std::string::npos);
}

// The metrics' lines by name and labels.
std::map<std::string, std::string> MetricLines(const std::string& text) {
    std::map<std::string, std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] != '#') {
            const size_t space = line.rfind(' ');
            lines[line.substr(0, space)] = line.substr(space + 1);
        }
    }
    return lines;
}

TEST(BoardPages, MetricsAddUpTheCountsAndTheSlots) {
    BoardState state;
    const std::vector<uint64_t> none(DurationBuckets().size(), 0);
    std::vector<uint64_t> a = none, b = none;
    a[2] = 3; // <= 5 s
    for (size_t bucket = 3; bucket < a.size(); ++bucket) {
        a[bucket] = 4;
        b[bucket] = 1;
    }
    const std::vector<RunCount> old = {{"s", "P1", "completed", 4, 20, a}, {"s", "P2", "completed", 1, 9, b}};
    const std::vector<RunCount> young = {{"s", "P1", "completed", 1, 1, std::vector<uint64_t>(a.size(), 1)}};
    state.totals = AddCounts(old, young);
    StationState station;
    station.station = "s";
    station.recordsPending = 7;
    station.secondsSinceSeen = 31;
    station.slots = {{"P1", "", "loading", "", 0, 0, 0, 0, "", ""},
                     {"P2", "", "loading", "", 0, 0, 0, 0, "", ""}};
    state.stations = {station};
    const std::map<std::string, std::string> lines = MetricLines(MetricsText(state));
    const std::map<std::string, std::string> expected = {
        {R"(tovrin_runs_total{station="s",port="P1",outcome="completed"})", "5"},
        {R"(tovrin_runs_total{station="s",port="P2",outcome="completed"})", "1"},
        {R"(tovrin_run_duration_seconds_bucket{station="s",outcome="completed",le="1"})", "1"},
        {R"(tovrin_run_duration_seconds_bucket{station="s",outcome="completed",le="5"})", "4"},
        {R"(tovrin_run_duration_seconds_bucket{station="s",outcome="completed",le="10"})", "6"},
        {R"(tovrin_run_duration_seconds_bucket{station="s",outcome="completed",le="+Inf"})", "6"},
        {R"(tovrin_run_duration_seconds_count{station="s",outcome="completed"})", "6"},
        {R"(tovrin_run_duration_seconds_sum{station="s",outcome="completed"})", "30"},
        {R"(tovrin_slots{station="s",state="loading"})", "2"},
        {R"(tovrin_slots{station="s",state="idle"})", "0"},
        {R"(tovrin_records_pending{station="s"})", "7"},
        {R"(tovrin_station_up{station="s"})", "0"}, // not seen for 31 s
    };
    for (const auto& [name, value] : expected) {
        ASSERT_TRUE(lines.count(name)) << name;
        EXPECT_EQ(lines.at(name), value) << name;
    }
}

TEST(BoardServer, TakesOnlyAnAddressAndAPortToListenOn) {
    struct Case {
        const char* text;
        bool valid;
        const char* host;
        int port;
    };
    const Case cases[] = {
        {"127.0.0.1:8080", true, "127.0.0.1", 8080},
        {"[::1]:0", true, "::1", 0},
        {"0.0.0.0:65535", true, "0.0.0.0", 65535},
        {"localhost:80", true, "localhost", 80},
        {"127.0.0.1", false, "", 0},
        {":8080", false, "", 0},
        {"127.0.0.1:", false, "", 0},
        {"127.0.0.1:65536", false, "", 0},
        {"::1:8080", false, "", 0},
        {"127.0.0.1:80a", false, "", 0},
        {"127.0.0.1:-1", false, "", 0},
        {"[::1:80", false, "", 0},
    };
    for (const Case& c : cases) {
        std::string host;
        int port = -1;
        EXPECT_EQ(ParseListen(c.text, host, port), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(host, c.host) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        }
    }
}

TEST(BoardStore, KeepsEachStationsLastBeatAndCountsRunsInTwoParts) {
    ScratchFolder folder;
    const std::string path = folder.Path() + "records.db";
    std::string error;
    std::unique_ptr<IRecordStore> store = OpenRecordStore(path, error);
    ASSERT_NE(store, nullptr) << error;
    // A file no station wrote to yet has none.
    std::vector<StationState> stations;
    ASSERT_TRUE(store->QueryStations(stations, error)) << error;
    EXPECT_TRUE(stations.empty());
    StationState beat;
    beat.station = "line \"1\"";
    beat.host = "rack-7";
    beat.pid = 42;
    beat.started = "2026-12-08T17:00:00.000Z";
    beat.slots = {
        {"/dev/x", "X", "failed", "", 2, 2, 100, 3.5, "0f2c5f0e-8a47-4b3c-9d1e-2a6b7c8d9e0f", "No answer"}};
    ASSERT_TRUE(store->WriteStation(beat, error)) << error;
    beat.recordsPending = 3;
    ASSERT_TRUE(store->WriteStation(beat, error)) << error;
    std::unique_ptr<IRecordStore> reader = OpenRecordStoreForReading(path, error);
    ASSERT_NE(reader, nullptr) << error;
    ASSERT_TRUE(reader->QueryStations(stations, error)) << error;
    ASSERT_EQ(stations.size(), 1u);
    EXPECT_EQ(StationStateJson(stations[0])["slots"], SlotsJson(beat.slots));
    EXPECT_EQ(stations[0].recordsPending, 3);
    EXPECT_LT(stations[0].secondsSinceSeen, 5);
    EXPECT_TRUE(StationOnline(stations[0]));
    EXPECT_FALSE(reader->WriteStation(beat, error));

    // Runs before and after a time, counted apart, add up to all of them; the running one is not.
    std::vector<RunRecord> runs = {Row(10, "A", "completed", 1), Row(20, "A", "completed", 3),
                                   Row(4000, "A", "failed", 700, "x"), Row(5, "B", "running", 0)};
    for (size_t index = 0; index < runs.size(); ++index) {
        runs[index].uuid = "0f2c5f0e-8a47-4b3c-9d1e-2a6b7c8d9e0" + std::to_string(index);
        ASSERT_TRUE(store->WriteRun(runs[index], error)) << error;
    }
    std::vector<RunCount> all, before, after;
    const std::string split = Ago(3600).substr(0, 19) + "Z";
    ASSERT_TRUE(reader->CountRuns("", "", all, error)) << error;
    ASSERT_TRUE(reader->CountRuns("", split, before, error)) << error;
    ASSERT_TRUE(reader->CountRuns(split, "", after, error)) << error;
    EXPECT_EQ(before.size(), 1u);
    const std::vector<RunCount> added = AddCounts(before, after);
    ASSERT_EQ(all.size(), 2u);
    ASSERT_EQ(added.size(), 2u);
    for (size_t index = 0; index < all.size(); ++index) {
        EXPECT_EQ(added[index].outcome, all[index].outcome);
        EXPECT_EQ(added[index].runs, all[index].runs);
        EXPECT_EQ(added[index].atMost, all[index].atMost);
    }
    EXPECT_EQ(all[0].outcome, "completed");
    EXPECT_EQ(all[0].runs, 2u);
    EXPECT_DOUBLE_EQ(all[0].seconds, 4);
    EXPECT_EQ(all[0].atMost[0], 1u);     // <= 1 s
    EXPECT_EQ(all[1].atMost.back(), 0u); // 700 s is over every bucket

    RunFilter one;
    one.uuid = runs[2].uuid;
    std::vector<RunRecord> found;
    ASSERT_TRUE(reader->Query(one, found, error)) << error;
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].errorText, "x");
}

// A store that keeps what is written to it, and fails while told to.
class BeatStore : public IRecordStore {
public:
    bool WriteRun(RunRecord&, std::string&) override { return false; }
    bool Query(const RunFilter&, std::vector<RunRecord>&, std::string&) override { return true; }
    bool MarkInterrupted(const std::function<std::optional<std::string>(const RunRecord&)>&, size_t&,
                         std::string&) override {
        return true;
    }
    bool WriteStation(const StationState& station, std::string& error) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (failing) {
            error = "locked";
            return false;
        }
        beats.push_back(station);
        return true;
    }
    std::mutex mutex;
    bool failing = false;
    std::vector<StationState> beats;
};

TEST(Heartbeat, WritesTheLatestStateAndTheLastOneAtTheEnd) {
    auto owned = std::make_unique<BeatStore>();
    BeatStore* store = owned.get();
    store->failing = true;
    Heartbeat heartbeat([&owned](std::string&) -> std::unique_ptr<IRecordStore> { return std::move(owned); });
    heartbeat.Start();
    StationState state;
    state.station = "s";
    for (int step = 0; step < 50; ++step) {
        state.recordsPending = step;
        heartbeat.Post(state);
    }
    StationState last = state;
    last.stopped = "2026-12-08T17:02:04.000Z";
    {
        std::lock_guard<std::mutex> lock(store->mutex);
        store->failing = false; // the store answers again: the final state still gets there
    }
    heartbeat.Stop(last);
    std::lock_guard<std::mutex> lock(store->mutex);
    ASSERT_FALSE(store->beats.empty());
    EXPECT_EQ(store->beats.back().stopped, last.stopped);
    EXPECT_EQ(store->beats.back().recordsPending, 49);
    // Fifty changes in less than a second are not fifty writes.
    EXPECT_LE(store->beats.size(), 3u);
}

} // namespace
