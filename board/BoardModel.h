#pragma once

#include "record/RecordStore.h"

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

// What the board shows, worked out from the store's rows: the yield of each station and port
// over the last hour, the shift and the day, the ports that keep failing, the day's runs by
// hour and by time taken, the failures by their text, and the all-time totals of the metrics.

// The windows the yield is given for.
struct YieldWindow {
    const char* name; // "1h", "8h", "24h"
    std::time_t seconds;
};
const std::vector<YieldWindow>& YieldWindows();

struct Yield {
    uint64_t runs = 0; // finished runs
    uint64_t completed = 0;
    uint64_t failed = 0; // neither completed nor cancelled
    double percent = -1; // completed of the runs not cancelled; below 0 when there are none
    double median = -1;  // seconds of the completed runs; below 0 when there are none
};

struct YieldRow {
    std::string station;
    std::string port;            // empty: the station's ports together
    std::vector<Yield> byWindow; // one per YieldWindows()
    bool attention = false;      // the port's last runs all failed
};

struct FailureGroup {
    std::string text; // the error text, or the outcome when the run has none
    uint64_t count = 0;
    std::string last; // the newest one's start
    std::vector<std::string> ports;
};

struct BoardView {
    std::vector<YieldRow> yield;
    std::vector<std::string> hours;                       // the 24 hours' starts, oldest first
    std::map<std::string, std::vector<uint64_t>> perHour; // by outcome: runs that started then
    std::vector<std::string> durationLabels;              // "<= 1 s", ..., "> 600 s"
    std::vector<uint64_t> durationCounts;                 // finished runs of the day
    std::vector<FailureGroup> failures;                   // most frequent first
    std::vector<RunRecord> newest;                        // the newest runs
};

// A port is marked when this many of its last runs failed, one after the other.
constexpr size_t kAttentionRuns = 3;
constexpr size_t kNewestRuns = 20;

// The view of the runs of the last day (newest first, as the store gives them) at `now`.
BoardView MakeBoardView(const std::vector<RunRecord>& day, std::time_t now);

// Seconds since 1970 of a stored time ("2026-12-08T17:02:04.123Z"); -1 when it is none.
std::time_t StoredTimeSeconds(const std::string& text);

// Counts of the same station, port and outcome added together, in a stable order.
std::vector<RunCount> AddCounts(const std::vector<RunCount>& a, const std::vector<RunCount>& b);
