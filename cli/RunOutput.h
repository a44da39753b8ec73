#pragma once

#include "cli/CliOptions.h"
#include "cli/Console.h"
#include "cli/RunResult.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A device as the output shows it, with where it stands now.
// "waiting", "connecting", "boot", "program", "completed", "failed" or "cancelled".
const char* PhaseName(Progress::Phase phase);

struct DeviceProgress {
    std::string port;
    std::string name;  // short: the port's base name
    std::string runId; // the run's UUID
    Progress progress;
};

// Everything a run tells its user: the final lines of each device's message list, progress,
// each device's end, lines on standard error, and the end of the run. One implementation
// writes text for people, one JSON Lines for programs. Called from several threads.
class IRunOutput {
public:
    virtual ~IRunOutput() = default;
    virtual void Line(const std::string& port, const std::string& runId, const std::string& text) = 0;
    virtual void Problem(const std::string& text) = 0; // "tovrin: " and the text on standard error
    virtual void ShowProgress(const std::vector<DeviceProgress>& devices) = 0;
    virtual void DeviceEnded(const RunResult& result) = 0;
    // The run is over: the report and the devices' end lines (or the report as the last event).
    virtual void Finish(const nlohmann::ordered_json& report, const std::vector<RunResult>& results) = 0;
    // A second interrupt: the screen is left clean before the process leaves at once.
    virtual void Abandon() = 0;
    // Extra events of a station and of the record keeper (JSON only).
    virtual void Event(const nlohmann::ordered_json&) {}
    // Whether ShowProgress shows anything: when it does not, nobody needs to call it.
    virtual bool ShowsProgress() const { return true; }
};

struct OutputOptions {
    bool json = false;
    bool quiet = false; // only errors and the end lines
    ProgressChoice progress = ProgressChoice::Auto;
    bool prefixLines = false; // several devices: each line starts with "[name] "
};

std::unique_ptr<IRunOutput> MakeRunOutput(const OutputOptions& options, std::FILE* out, bool terminal);

// The name a device goes by in lines and bars: its port's base name.
std::string DeviceName(const std::string& port);
