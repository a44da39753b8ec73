#include "board/BoardModel.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <set>
#include <tuple>

namespace {

bool Failed(const std::string& outcome) {
    return outcome != "completed" && outcome != "cancelled" && outcome != "running";
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return -1;
    }
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The yield of the runs of one station (and port) over each window.
struct Tally {
    std::vector<Yield> byWindow = std::vector<Yield>(YieldWindows().size());
    std::vector<std::vector<double>> seconds = std::vector<std::vector<double>>(YieldWindows().size());
    std::vector<uint64_t> cancelled = std::vector<uint64_t>(YieldWindows().size());
    size_t failedInARow = 0;
    bool rowBroken = false; // a run that did not fail came after the newest failures

    void Add(const RunRecord& run, std::time_t age) {
        for (size_t window = 0; window < YieldWindows().size(); ++window) {
            if (age >= YieldWindows()[window].seconds) {
                continue;
            }
            Yield& yield = byWindow[window];
            ++yield.runs;
            yield.completed += run.outcome == "completed";
            yield.failed += Failed(run.outcome);
            cancelled[window] += run.outcome == "cancelled";
            if (run.outcome == "completed") {
                seconds[window].push_back(run.seconds);
            }
        }
    }

    // Runs come newest first: the failures before the first run that did not fail.
    void Follow(const RunRecord& run) {
        if (rowBroken) {
            return;
        }
        if (Failed(run.outcome)) {
            ++failedInARow;
        } else {
            rowBroken = true;
        }
    }

    YieldRow Row(const std::string& station, const std::string& port) {
        YieldRow row{station, port, byWindow, failedInARow >= kAttentionRuns};
        for (size_t window = 0; window < row.byWindow.size(); ++window) {
            Yield& yield = row.byWindow[window];
            const uint64_t judged = yield.runs - cancelled[window];
            yield.percent = judged == 0 ? -1 : 100.0 * static_cast<double>(yield.completed) / judged;
            yield.median = Median(seconds[window]);
        }
        return row;
    }
};

std::vector<YieldRow> YieldRows(const std::vector<RunRecord>& day, std::time_t now) {
    std::map<std::pair<std::string, std::string>, Tally> tallies; // (station, port); port "" for all
    for (const RunRecord& run : day) {
        if (run.outcome == "running") {
            continue;
        }
        const std::time_t age = now - StoredTimeSeconds(run.started);
        for (const std::string& port : {std::string(), run.port}) {
            Tally& tally = tallies[{run.station, port}];
            tally.Add(run, age);
            tally.Follow(run);
        }
    }
    std::vector<YieldRow> rows;
    for (auto& [key, tally] : tallies) {
        YieldRow row = tally.Row(key.first, key.second);
        row.attention = row.attention && !key.second.empty();
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string HourText(std::time_t moment) {
    std::tm parts{};
    gmtime_r(&moment, &parts);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:00Z", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour);
    return text;
}

std::string SecondsText(double seconds) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, seconds).ptr;
    return std::string(text, end);
}

// The day's runs by the hour they started in, by outcome; the finished ones by time taken.
void Charts(const std::vector<RunRecord>& day, std::time_t now, BoardView& view) {
    const std::time_t first = now - now % 3600 - 23 * 3600;
    for (int hour = 0; hour < 24; ++hour) {
        view.hours.push_back(HourText(first + hour * 3600));
    }
    for (const char* outcome : {"completed", "failed", "cancelled", "not-started", "interrupted"}) {
        view.perHour[outcome] = std::vector<uint64_t>(24);
    }
    const std::vector<double>& buckets = DurationBuckets();
    for (const double bucket : buckets) {
        view.durationLabels.push_back("<= " + SecondsText(bucket) + " s");
    }
    view.durationLabels.push_back("> " + SecondsText(buckets.back()) + " s");
    view.durationCounts.assign(buckets.size() + 1, 0);
    for (const RunRecord& run : day) {
        const std::time_t started = StoredTimeSeconds(run.started);
        if (run.outcome == "running" || started < first) {
            continue;
        }
        const size_t hour = std::min<size_t>(23, static_cast<size_t>((started - first) / 3600));
        std::vector<uint64_t>& counts = view.perHour[run.outcome];
        counts.resize(24);
        ++counts[hour];
        const size_t bucket = static_cast<size_t>(
            std::lower_bound(buckets.begin(), buckets.end(), run.seconds) - buckets.begin());
        ++view.durationCounts[bucket];
    }
}

std::vector<FailureGroup> Failures(const std::vector<RunRecord>& day) {
    std::map<std::string, FailureGroup> groups;
    std::map<std::string, std::set<std::string>> ports;
    for (const RunRecord& run : day) {
        if (!Failed(run.outcome)) {
            continue;
        }
        const std::string text = run.errorText.empty() ? run.outcome : run.errorText;
        FailureGroup& group = groups[text];
        group.text = text;
        ++group.count;
        group.last = std::max(group.last, run.started);
        ports[text].insert(run.port);
    }
    std::vector<FailureGroup> sorted;
    for (auto& [text, group] : groups) {
        group.ports.assign(ports[text].begin(), ports[text].end());
        sorted.push_back(std::move(group));
    }
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const FailureGroup& a, const FailureGroup& b) { return a.count > b.count; });
    return sorted;
}

} // namespace

const std::vector<YieldWindow>& YieldWindows() {
    static const std::vector<YieldWindow> windows = {{"1h", 3600}, {"8h", 8 * 3600}, {"24h", 24 * 3600}};
    return windows;
}

std::time_t StoredTimeSeconds(const std::string& text) {
    std::tm parts{};
    int year = 0, month = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &year, &month, &parts.tm_mday, &parts.tm_hour,
                    &parts.tm_min, &parts.tm_sec) != 6) {
        return -1;
    }
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    return timegm(&parts);
}

BoardView MakeBoardView(const std::vector<RunRecord>& day, std::time_t now) {
    BoardView view;
    view.yield = YieldRows(day, now);
    Charts(day, now, view);
    view.failures = Failures(day);
    view.newest.assign(day.begin(),
                       day.begin() + static_cast<std::ptrdiff_t>(std::min(day.size(), kNewestRuns)));
    return view;
}

std::vector<RunCount> AddCounts(const std::vector<RunCount>& a, const std::vector<RunCount>& b) {
    std::map<std::tuple<std::string, std::string, std::string>, RunCount> sums;
    for (const std::vector<RunCount>* counts : {&a, &b}) {
        for (const RunCount& count : *counts) {
            RunCount& sum = sums[{count.station, count.port, count.outcome}];
            if (sum.runs == 0 && sum.atMost.empty()) {
                sum = count;
                continue;
            }
            sum.runs += count.runs;
            sum.seconds += count.seconds;
            sum.atMost.resize(std::max(sum.atMost.size(), count.atMost.size()));
            for (size_t bucket = 0; bucket < count.atMost.size(); ++bucket) {
                sum.atMost[bucket] += count.atMost[bucket];
            }
        }
    }
    std::vector<RunCount> added;
    for (auto& [key, count] : sums) {
        added.push_back(std::move(count));
    }
    return added;
}
