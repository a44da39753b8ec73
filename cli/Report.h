#pragma once

#include "cli/RecordStore.h"
#include "cli/RunResult.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <vector>

// The run's report: one JSON document, UTF-8, the same in every locale. Its field names are an
// interface for calling programs: fields are added, never renamed.
struct RunReport {
    std::string configuration; // absolute path
    std::string started;       // ISO 8601, UTC
    int exitStatus = 0;
    std::vector<RunResult> devices;
};

// "2026-12-08T17:02:04.123Z"
std::string IsoUtc(std::chrono::system_clock::time_point moment);

nlohmann::ordered_json StepsJson(const std::vector<StepFacts>& steps);
nlohmann::ordered_json DeviceJson(const RunResult& result);
nlohmann::ordered_json ReportJson(const RunReport& report);

// One line of JSON (JSON Lines); text that is not UTF-8 is shown as Windows-1252.
std::string JsonLine(const nlohmann::ordered_json& value);

// Writes the text to a new file that, once on the disk, replaces `path`, so that a reader never
// sees half of it. False with the reason.
bool ReplaceFile(const std::string& path, const std::string& text, std::string& reason);
// The same with a JSON document.
bool WriteJsonFile(const std::string& path, const nlohmann::ordered_json& document, std::string& reason);

// Where a run was made, for the record store.
struct RunPlace {
    std::string host;
    std::string station;
};

// The host's name; "localhost" when it has none.
std::string HostName();

// The record store's row of a run: the same facts as the report's device. A run that has not
// ended yet is "running".
RunRecord RecordOf(const RunResult& result, const RunPlace& place, bool ended = true);

// The system's cause of a failure as JSON: {"errno", "name", "text", "description"}, or null.
nlohmann::ordered_json SystemErrorJson(const SystemCause& cause);

// Text for JSON: UTF-8 as it is, the program's Windows-1252 texts converted.
std::string Utf8(const std::string& text);
