#include "board/BoardPages.h"

#include "record/Support.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <set>

namespace {

std::string Number(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// A metric's value: integers as such, others as short as they are exact.
std::string MetricValue(double value) {
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

// "2026-12-08T17:02:04.123Z" as "2026-12-08 17:02:04".
std::string TimeText(const std::string& iso) {
    return iso.size() < 19 ? iso : iso.substr(0, 10) + " " + iso.substr(11, 8);
}

std::string ShownTime(const std::string& iso) {
    return HtmlText(TimeText(iso));
}

// A port by its entry's name, the whole path on hovering.
std::string PortHtml(const std::string& port) {
    const size_t slash = port.rfind('/');
    const std::string name =
        slash == std::string::npos || slash + 1 == port.size() ? port : port.substr(slash + 1);
    return "<span title=\"" + HtmlText(port) + "\">" + HtmlText(name) + "</span>";
}

std::string Attribute(const char* name, const std::string& value) {
    return std::string(" ") + name + "=\"" + HtmlText(value) + "\"";
}

std::string Cell(const char* cls, const std::string& html) {
    return std::string("<td class=\"") + cls + "\">" + html + "</td>";
}

std::string RunLink(const std::string& runId, const std::string& text) {
    return IsUuid(runId) ? "<a href=\"/runs/" + runId + "\">" + HtmlText(text) + "</a>" : HtmlText(text);
}

// "loading step 1/2 37 %" while a slot loads; "PASS", "FAIL" or "idle" otherwise.
std::string SlotText(const SlotState& slot) {
    if (slot.state == "loading") {
        return "loading step " + std::to_string(slot.step) + "/" + std::to_string(slot.steps) + " " +
               Number(std::floor(slot.percentage), 0) + " %";
    }
    return slot.state == "passed" ? "PASS" : slot.state == "failed" ? "FAIL" : "idle";
}

std::string StationHtml(const StationState& station) {
    const bool online = StationOnline(station);
    std::string html = "<article class=\"station\"" + Attribute("data-station", station.station) +
                       Attribute("data-online", online ? "yes" : "no") + "><h2 class=\"station-name\">" +
                       HtmlText(station.station) + "</h2>";
    html += "<p class=\"station-facts\"><span class=\"" + std::string(online ? "online" : "offline") + "\">" +
            (online                    ? "online"
             : station.stopped.empty() ? "offline"
                                       : "stopped") +
            "</span> · host " + HtmlText(station.host) + " · pid " + std::to_string(station.pid) +
            " · tovrin " + HtmlText(station.version) + " · since " + ShownTime(station.started) + " · seen " +
            ShownTime(station.seen) +
            (station.stopped.empty() ? "" : " · stopped " + ShownTime(station.stopped)) +
            "</p><p class=\"station-facts\">configuration " + HtmlText(station.configuration) + " (sha256 " +
            HtmlText(station.configurationSha256.substr(0, 12)) +
            ") · records waiting <span class=\"pending\">" + std::to_string(station.recordsPending) +
            "</span></p>";
    html +=
        "<table class=\"slots\"><thead><tr><th>port</th><th>state</th><th>error</th><th>run</th></tr></thead>"
        "<tbody>";
    for (const SlotState& slot : station.slots) {
        html += "<tr class=\"slot\"" + Attribute("data-port", slot.port) +
                Attribute("data-state", slot.state) + ">" +
                Cell("slot-port", HtmlText(slot.name) + "<br><small>" + HtmlText(slot.port) + "</small>") +
                Cell(("slot-state " + slot.state).c_str(), HtmlText(SlotText(slot))) +
                Cell("slot-error", HtmlText(slot.error)) +
                Cell("slot-run", RunLink(slot.runId, slot.runId.substr(0, 8))) + "</tr>";
    }
    if (station.slots.empty()) {
        html += "<tr><td colspan=\"4\">no device plugged in</td></tr>";
    }
    return html + "</tbody></table></article>";
}

std::string StationsSection(const BoardState& state) {
    std::string html = "<section id=\"stations\"><h2>Stations</h2>";
    for (const StationState& station : state.stations) {
        html += StationHtml(station);
    }
    if (state.stations.empty()) {
        html += "<p>No station has told its state to this record yet.</p>";
    }
    return html + "</section>";
}

std::string YieldCells(const Yield& yield, const std::string& window) {
    const auto cls = [&](const char* what) { return std::string(what) + "-" + window; };
    return Cell(cls("runs").c_str(), std::to_string(yield.runs)) +
           Cell(cls("completed").c_str(), std::to_string(yield.completed)) +
           Cell(cls("failed").c_str(), std::to_string(yield.failed)) +
           Cell(cls("yield").c_str(), yield.percent < 0 ? "–" : Number(yield.percent, 1) + "&nbsp;%") +
           Cell(cls("median").c_str(), yield.median < 0 ? "–" : Number(yield.median, 1) + "&nbsp;s");
}

std::string YieldSection(const BoardState& state) {
    std::string html = "<section id=\"yield-section\"><h2>Yield</h2><table id=\"yield\"><thead><tr><th "
                       "rowspan=\"2\">station</th><th rowspan=\"2\">port</th>";
    for (const YieldWindow& window : YieldWindows()) {
        html += "<th colspan=\"5\">last " + std::string(window.name) + "</th>";
    }
    html += "<th rowspan=\"2\">mark</th></tr><tr>";
    for (size_t window = 0; window < YieldWindows().size(); ++window) {
        html += "<th>runs</th><th>completed</th><th>failed</th><th>yield</th><th>median</th>";
    }
    html += "</tr></thead><tbody>";
    for (const YieldRow& row : state.view.yield) {
        html += "<tr class=\"yield" + std::string(row.port.empty() ? " station-total" : "") + "\"" +
                Attribute("data-station", row.station) + Attribute("data-port", row.port) +
                Attribute("data-attention", row.attention ? "yes" : "no") + ">" +
                Cell("yield-station", HtmlText(row.station)) +
                Cell("yield-port", row.port.empty() ? "all ports" : PortHtml(row.port));
        for (size_t window = 0; window < row.byWindow.size(); ++window) {
            html += YieldCells(row.byWindow[window], YieldWindows()[window].name);
        }
        html += row.attention ? Cell("attention", "attention") : Cell("no-attention", "");
        html += "</tr>";
    }
    if (state.view.yield.empty()) {
        html += "<tr><td colspan=\"18\">no run in the last 24 hours</td></tr>";
    }
    return html +
           "</tbody></table><p class=\"note\">Yield: completed runs of those not cancelled. Median: of "
           "the completed runs. A port is marked for attention when its last " +
           std::to_string(kAttentionRuns) + " runs failed.</p></section>";
}

nlohmann::ordered_json ChartData(const BoardView& view) {
    nlohmann::ordered_json outcomes = nlohmann::ordered_json::object();
    for (const auto& [outcome, counts] : view.perHour) {
        outcomes[outcome] = counts;
    }
    return {{"hours", view.hours},
            {"outcomes", outcomes},
            {"durations", {{"labels", view.durationLabels}, {"counts", view.durationCounts}}}};
}

std::string ChartsSection(const BoardState& state) {
    return "<section id=\"charts\"><h2>The last 24 hours</h2><div class=\"charts\"><figure><canvas "
           "id=\"runs-chart\" width=\"640\" height=\"260\"></canvas><figcaption>runs per hour by outcome "
           "(UTC)</figcaption></figure><figure><canvas id=\"durations-chart\" width=\"480\" "
           "height=\"260\"></canvas><figcaption>time per run</figcaption></figure></div><script "
           "type=\"application/json\" id=\"chart-data\">" +
           JsonText(ChartData(state.view)) + "</script></section>";
}

std::string FailuresSection(const BoardState& state) {
    std::string html =
        "<section id=\"failures-section\"><h2>Failures of the last 24 hours</h2><table "
        "id=\"failures\"><thead><tr><th>runs</th><th>error</th><th>ports</th><th>last</th></tr>"
        "</thead><tbody>";
    for (const FailureGroup& group : state.view.failures) {
        std::string ports;
        for (const std::string& port : group.ports) {
            ports += (ports.empty() ? "" : ", ") + PortHtml(port);
        }
        html += "<tr class=\"failure\">" + Cell("failure-count", std::to_string(group.count)) +
                Cell("failure-text", HtmlText(group.text)) + Cell("failure-ports", ports) +
                Cell("failure-last", ShownTime(group.last)) + "</tr>";
    }
    if (state.view.failures.empty()) {
        html += "<tr><td colspan=\"4\">none</td></tr>";
    }
    return html + "</tbody></table></section>";
}

std::string RunsSection(const BoardState& state) {
    std::string html =
        "<section id=\"runs-section\"><h2>Newest runs</h2><table id=\"runs\"><thead><tr>"
        "<th>started</th><th>station</th><th>port</th><th>serial</th><th>outcome</th><th>seconds</th>"
        "<th>error</th></tr></thead><tbody>";
    for (const RunRecord& run : state.view.newest) {
        html += "<tr class=\"run\"" + Attribute("data-run", run.uuid) +
                Attribute("data-outcome", run.outcome) + ">" +
                Cell("run-started", RunLink(run.uuid, TimeText(run.started))) +
                Cell("run-station", HtmlText(run.station)) + Cell("run-port", PortHtml(run.port)) +
                Cell("run-serial", HtmlText(run.usbSerial)) + Cell("run-outcome", HtmlText(run.outcome)) +
                Cell("run-seconds", Number(run.seconds, 1)) + Cell("run-error", HtmlText(run.errorText)) +
                "</tr>";
    }
    if (state.view.newest.empty()) {
        html += "<tr><td colspan=\"7\">no run in the last 24 hours</td></tr>";
    }
    return html + "</tbody></table></section>";
}

void Help(std::string& text, const char* name, const char* type, const char* help) {
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

std::string Labels(std::initializer_list<std::pair<const char*, std::string>> labels) {
    std::string text;
    for (const auto& [name, value] : labels) {
        text += (text.empty() ? "{" : ",") + std::string(name) + "=\"" + MetricLabel(value) + "\"";
    }
    return text + "}";
}

void DurationHistogram(const std::vector<RunCount>& totals, std::string& text) {
    // By station and outcome: the ports' counts added up.
    std::map<std::pair<std::string, std::string>, RunCount> sums;
    for (const RunCount& count : totals) {
        RunCount& sum = sums[{count.station, count.outcome}];
        sum.runs += count.runs;
        sum.seconds += count.seconds;
        sum.atMost.resize(DurationBuckets().size());
        for (size_t bucket = 0; bucket < count.atMost.size() && bucket < sum.atMost.size(); ++bucket) {
            sum.atMost[bucket] += count.atMost[bucket];
        }
    }
    Help(text, "tovrin_run_duration_seconds", "histogram", "Seconds a finished run took.");
    for (const auto& [key, sum] : sums) {
        for (size_t bucket = 0; bucket < DurationBuckets().size(); ++bucket) {
            text += "tovrin_run_duration_seconds_bucket" +
                    Labels({{"station", key.first},
                            {"outcome", key.second},
                            {"le", MetricValue(DurationBuckets()[bucket])}}) +
                    " " + std::to_string(sum.atMost[bucket]) + "\n";
        }
        const std::string labels = Labels({{"station", key.first}, {"outcome", key.second}});
        text += "tovrin_run_duration_seconds_bucket" +
                Labels({{"station", key.first}, {"outcome", key.second}, {"le", "+Inf"}}) + " " +
                std::to_string(sum.runs) + "\n";
        text += "tovrin_run_duration_seconds_sum" + labels + " " + MetricValue(sum.seconds) + "\n";
        text += "tovrin_run_duration_seconds_count" + labels + " " + std::to_string(sum.runs) + "\n";
    }
}

} // namespace

std::string HtmlText(const std::string& text) {
    std::string html;
    for (const char c : Utf8Text(text)) {
        switch (c) {
        case '&':
            html += "&amp;";
            break;
        case '<':
            html += "&lt;";
            break;
        case '>':
            html += "&gt;";
            break;
        case '"':
            html += "&quot;";
            break;
        case '\'':
            html += "&#39;";
            break;
        default:
            html += c;
        }
    }
    return html;
}

std::string MetricLabel(const std::string& text) {
    std::string label;
    for (const char c : Utf8Text(text)) {
        label += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : c == '\n' ? "\\n" : std::string(1, c);
    }
    return label;
}

std::string JsonText(const nlohmann::ordered_json& value) {
    const std::string text = value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    std::string safe;
    for (size_t index = 0; index < text.size(); ++index) {
        // "<" only ever stands in a JSON string here, where "\u003c" means the same.
        safe += text[index] == '<' ? std::string("\\u003c") : std::string(1, text[index]);
    }
    return safe;
}

std::string LiveHtml(const BoardState& state) {
    std::string html = "<section id=\"status\"><p class=\"status\">record " + HtmlText(state.store) +
                       " · read " + ShownTime(state.readAt) + " UTC</p>";
    if (!state.problem.empty()) {
        html += "<p class=\"problem\">The record cannot be read now: " + HtmlText(state.problem) +
                " (what follows is what was read before).</p>";
    }
    return html + "</section>" + StationsSection(state) + YieldSection(state) + ChartsSection(state) +
           FailuresSection(state) + RunsSection(state);
}

std::string BoardPage(const BoardState& state) {
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><meta name=\"viewport\" "
           "content=\"width=device-width\"><title>tovrin board</title><link rel=\"stylesheet\" "
           "href=\"/board.css\"><script src=\"/chart.js\" defer></script><script src=\"/board.js\" "
           "defer></script></head><body data-updates=\"0\"><header><h1>tovrin board</h1><p "
           "id=\"live-note\">This page updates itself every second.</p><noscript><p>Without JavaScript the "
           "page "
           "shows the state when it was loaded: reload it to see what changed.</p></noscript></header><main "
           "id=\"board\">" +
           LiveHtml(state) + "</main></body></html>\n";
}

std::string RunPage(const RunRecord& run) {
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>run " +
                       HtmlText(run.uuid) +
                       "</title><link rel=\"stylesheet\" href=\"/board.css\"></head><body><header><h1>run " +
                       HtmlText(run.uuid) +
                       "</h1><p><a href=\"/\">the board</a></p></header><main><table "
                       "id=\"record\"><tbody>";
    const nlohmann::ordered_json row = RunRecordJson(run);
    for (const auto& [name, value] : row.items()) {
        if (name == "log") {
            continue;
        }
        const std::string text = value.is_string() ? value.get<std::string>() : JsonText(value);
        html += "<tr" + Attribute("data-column", name) + "><th>" + HtmlText(name) + "</th><td>" +
                HtmlText(text) + "</td></tr>";
    }
    return html + "</tbody></table><h2>Log</h2><pre id=\"log\">" + HtmlText(run.log) +
           "</pre></main></body></html>\n";
}

std::string NotFoundPage(const std::string& what) {
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>not "
           "found</title></head><body>"
           "<h1>Not found</h1><p>" +
           HtmlText(what) + "</p><p><a href=\"/\">the board</a></p></body></html>\n";
}

std::string MetricsText(const BoardState& state) {
    std::string text;
    Help(text, "tovrin_runs_total", "counter", "Finished runs by station, port and outcome.");
    for (const RunCount& count : state.totals) {
        text += "tovrin_runs_total" +
                Labels({{"station", count.station}, {"port", count.port}, {"outcome", count.outcome}}) + " " +
                std::to_string(count.runs) + "\n";
    }
    DurationHistogram(state.totals, text);
    Help(text, "tovrin_slots", "gauge", "Slots of a station by their state.");
    for (const StationState& station : state.stations) {
        std::map<std::string, uint64_t> states = {{"idle", 0}, {"loading", 0}, {"passed", 0}, {"failed", 0}};
        for (const SlotState& slot : station.slots) {
            ++states[slot.state];
        }
        for (const auto& [name, count] : states) {
            text += "tovrin_slots" + Labels({{"station", station.station}, {"state", name}}) + " " +
                    std::to_string(count) + "\n";
        }
    }
    Help(text, "tovrin_records_pending", "gauge", "Rows a station has not yet brought into the record.");
    for (const StationState& station : state.stations) {
        text += "tovrin_records_pending" + Labels({{"station", station.station}}) + " " +
                std::to_string(station.recordsPending) + "\n";
    }
    Help(text, "tovrin_station_up", "gauge",
         "1 when the station was seen in the last 30 s and has not ended.");
    for (const StationState& station : state.stations) {
        text += "tovrin_station_up" + Labels({{"station", station.station}}) + " " +
                (StationOnline(station) ? "1" : "0") + "\n";
    }
    return text;
}

std::string StationsJson(const std::vector<StationState>& stations) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const StationState& station : stations) {
        array.push_back(StationStateJson(station));
    }
    return JsonText(array);
}

std::string RunsJson(const std::vector<RunRecord>& runs) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const RunRecord& run : runs) {
        array.push_back(RunRecordJson(run));
    }
    return JsonText(array);
}
