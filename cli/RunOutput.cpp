#include "cli/RunOutput.h"

#include "cli/CliOptions.h"
#include "cli/Report.h"

#include <map>

namespace {

using Clock = std::chrono::steady_clock;

// Text for people: message lines and progress on standard output (a bar per device on a
// terminal, progress lines in a pipe), problems on standard error, the end lines last.
class TextOutput : public IRunOutput {
public:
    TextOutput(const OutputOptions& options, std::FILE* out, bool terminal)
        : options(options), console(out, terminal),
          progress(options.progress == ProgressChoice::Auto
                       ? (terminal ? ProgressChoice::Bar : ProgressChoice::Lines)
                       : options.progress) {}

    void Line(const std::string& port, const std::string&, const std::string& text) override {
        if (!options.quiet) {
            console.Line(Prefix(port), text);
        }
    }
    void Problem(const std::string& text) override { console.Error("tovrin: " + text); }
    void ShowProgress(const std::vector<DeviceProgress>& devices) override {
        if (options.quiet) {
            return;
        }
        if (progress == ProgressChoice::Bar && console.Terminal()) {
            std::vector<std::string> bars;
            const size_t width = console.Width();
            for (const DeviceProgress& device : devices) {
                bars.push_back(ProgressBar(device.name, device.progress, width));
            }
            console.ShowBars(bars);
        } else if (progress == ProgressChoice::Lines || progress == ProgressChoice::Bar) {
            for (const DeviceProgress& device : devices) {
                if (pacers[device.port].Due(device.progress)) {
                    console.Line(Prefix(device.port), ProgressLine(device.progress));
                }
            }
        }
    }
    bool ShowsProgress() const override { return !options.quiet && progress != ProgressChoice::None; }
    void DeviceEnded(const RunResult&) override {}
    void Finish(const nlohmann::ordered_json&, const std::vector<RunResult>& results) override {
        console.ShowBars({});
        for (const RunResult& result : results) {
            console.Line("", EndLine(result, result.port));
        }
    }
    void Abandon() override { console.ShowBars({}); }

private:
    std::string Prefix(const std::string& port) const {
        return options.prefixLines ? "[" + DeviceName(port) + "] " : std::string();
    }

    const OutputOptions options;
    Console console;
    const ProgressChoice progress;
    std::map<std::string, ProgressPacer> pacers;
};

// JSON Lines on standard output, one object per event; problems still go to standard error.
class JsonOutput : public IRunOutput {
public:
    explicit JsonOutput(std::FILE* out) : out(out), started(Clock::now()) {}

    void Line(const std::string& port, const std::string& runId, const std::string& text) override {
        Emit({{"event", "line"},
              {"run_id", runId},
              {"port", Utf8(port)},
              {"text", Utf8(text)},
              {"seconds", Seconds()}});
    }
    void Problem(const std::string& text) override {
        std::lock_guard<std::mutex> lock(mutex);
        std::fputs(("tovrin: " + ForTerminal(text) + "\n").c_str(), stderr);
        std::fflush(stderr);
    }
    void ShowProgress(const std::vector<DeviceProgress>& devices) override {
        for (const DeviceProgress& device : devices) {
            const Progress& now = device.progress;
            if (!pacers[device.port].Due(now)) {
                continue;
            }
            Emit({{"event", "progress"},
                  {"run_id", device.runId},
                  {"port", Utf8(device.port)},
                  {"phase", PhaseName(now.phase)},
                  {"step", now.step},
                  {"steps", now.steps},
                  {"attempt", now.attempt},
                  {"block", now.block},
                  {"blocks", now.blocks},
                  {"bytes", now.bytes},
                  {"percent", static_cast<unsigned>(now.fraction * 100)},
                  {"seconds_left", now.secondsLeft < 0
                                       ? nlohmann::ordered_json(nullptr)
                                       : nlohmann::ordered_json(static_cast<long>(now.secondsLeft + 0.5))},
                  {"seconds", Seconds()}});
        }
    }
    void DeviceEnded(const RunResult& result) override {
        nlohmann::ordered_json event = {{"event", "device_end"}};
        event.update(DeviceJson(result));
        Emit(event);
    }
    void Finish(const nlohmann::ordered_json& report, const std::vector<RunResult>&) override {
        nlohmann::ordered_json event = {{"event", "report"}};
        event.update(report);
        Emit(event);
    }
    void Abandon() override {}
    void Event(const nlohmann::ordered_json& event) override { Emit(event); }

private:
    double Seconds() const {
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        return static_cast<double>(static_cast<long long>(seconds * 1000)) / 1000;
    }
    void Emit(const nlohmann::ordered_json& event) {
        const std::string line = JsonLine(event);
        std::lock_guard<std::mutex> lock(mutex);
        std::fputs(line.c_str(), out);
        std::fflush(out);
    }

    std::mutex mutex;
    std::FILE* out;
    const Clock::time_point started;
    std::map<std::string, ProgressPacer> pacers;
};

} // namespace

const char* PhaseName(Progress::Phase phase) {
    switch (phase) {
    case Progress::Phase::Waiting:
        return "waiting";
    case Progress::Phase::Connecting:
        return "connecting";
    case Progress::Phase::Boot:
        return "boot";
    case Progress::Phase::Program:
        return "program";
    case Progress::Phase::Completed:
        return "completed";
    case Progress::Phase::Failed:
        return "failed";
    case Progress::Phase::Cancelled:
        break;
    }
    return "cancelled";
}

std::string DeviceName(const std::string& port) {
    return PortBaseName(port);
}

std::unique_ptr<IRunOutput> MakeRunOutput(const OutputOptions& options, std::FILE* out, bool terminal) {
    if (options.json) {
        return std::make_unique<JsonOutput>(out);
    }
    return std::make_unique<TextOutput>(options, out, terminal);
}
