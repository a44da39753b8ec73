#pragma once

#include "cli/RunResult.h"
#include "record/RecordKeeper.h"
#include "record/RecordStore.h"
#include "record/Support.h"

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

nlohmann::ordered_json StepsJson(const std::vector<StepFacts>& steps);
nlohmann::ordered_json DeviceJson(const RunResult& result);
nlohmann::ordered_json ReportJson(const RunReport& report);

// One line of JSON (JSON Lines); text that is not UTF-8 is shown as Windows-1252.
std::string JsonLine(const nlohmann::ordered_json& value);

// Writes a JSON document to a new file that, once on the disk, replaces `path` (ReplaceFile).
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

// The rows of device runs as they start and end, handed to a keeper.
class KeptRuns : public IRunRecorder {
public:
    KeptRuns(RecordKeeper& keeper, RunPlace place) : keeper(keeper), place(std::move(place)) {}
    void Started(const RunResult& run) override { keeper.Submit(RecordOf(run, place, false)); }
    void Ended(const RunResult& run) override { keeper.Submit(RecordOf(run, place, true)); }

private:
    RecordKeeper& keeper;
    const RunPlace place;
};

// The system's cause of a failure as JSON: {"errno", "name", "text", "description"}, or null.
nlohmann::ordered_json SystemErrorJson(const SystemCause& cause);

// Text for JSON: UTF-8 as it is, the program's Windows-1252 texts converted.
std::string Utf8(const std::string& text);
