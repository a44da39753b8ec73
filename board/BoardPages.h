#pragma once

#include "board/BoardModel.h"
#include "record/RecordStore.h"

#include <string>
#include <vector>

// The board's pages and documents. Every text that comes from the field (station and port
// names, error texts, logs, paths) is escaped for where it goes: HTML, JSON or a metric's label.

// & < > " ' as HTML's entities; bytes that are not UTF-8 are read as Windows-1252.
std::string HtmlText(const std::string& text);
// A label value of the metrics' text format: \ " and the line end escaped.
std::string MetricLabel(const std::string& text);
// JSON as text, with any text that is not UTF-8 made so, and "</" written so that it cannot end
// a script element it is put in.
std::string JsonText(const nlohmann::ordered_json& value);

// What the board read from the store at one time.
struct BoardState {
    std::string store;   // as it may be shown
    std::string readAt;  // ISO 8601 UTC
    std::string problem; // why the store could not be read; empty when it was
    std::vector<StationState> stations;
    BoardView view;
    std::vector<RunCount> totals; // every finished run
};

// The live part of the page (what the page's script fetches every second) and the whole page.
std::string LiveHtml(const BoardState& state);
std::string BoardPage(const BoardState& state);
// One run: every column and the log's text.
std::string RunPage(const RunRecord& run);
std::string NotFoundPage(const std::string& what);
// The Prometheus metrics.
std::string MetricsText(const BoardState& state);
std::string StationsJson(const std::vector<StationState>& stations);
std::string RunsJson(const std::vector<RunRecord>& runs);

// The page's script and style sheet.
const char* BoardScript();
const char* BoardStyle();
