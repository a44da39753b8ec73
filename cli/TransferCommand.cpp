// tovrin CFG -C PORT ...: one session per port, all in parallel, until every device has ended.
#include "cli/Commands.h"
#include "cli/ConfigurationCheck.h"
#include "cli/DeviceRun.h"
#include "cli/LogOutput.h"
#include "cli/Report.h"
#include "cli/RunOutput.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr long kTickNs = 100 * 1000 * 1000; // progress is shown ten times a second

// Signals are taken by the main thread alone, as events: the device threads inherit the mask.
sigset_t BlockTerminationSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&signals, signal);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN); // a closed output gives write errors, not the end
    return signals;
}

bool AllFinished(const std::vector<std::unique_ptr<DeviceRun>>& runs) {
    for (const auto& run : runs) {
        if (!run->Finished()) {
            return false;
        }
    }
    return true;
}

std::vector<DeviceProgress> ProgressOf(const std::vector<std::unique_ptr<DeviceRun>>& runs) {
    std::vector<DeviceProgress> devices;
    for (const auto& run : runs) {
        devices.push_back(run->CurrentProgress());
    }
    return devices;
}

// Where every log and the report go, checked before anything is touched.
bool Destinations(const CliOptions& options, std::vector<std::string>& logs) {
    const bool several = options.ports.size() > 1;
    for (const std::string& port : options.ports) {
        logs.push_back(several ? PortLogName(options.logFile, port) : options.logFile);
        std::string reason;
        if (!LogWritable(logs.back(), reason)) {
            std::cerr << "tovrin: the log cannot be written: " << reason << "\n";
            return false;
        }
    }
    std::string reason;
    if (!options.reportFile.empty() && !LogWritable(options.reportFile, reason)) {
        std::cerr << "tovrin: the report cannot be written: " << reason << "\n";
        return false;
    }
    return true;
}

int ExitStatus(bool refused, int signal, const std::vector<RunResult>& results) {
    if (refused) {
        return kExitRefused;
    }
    bool allCompleted = true;
    bool anyCancelled = false;
    for (const RunResult& result : results) {
        allCompleted = allCompleted && result.outcome == RunOutcome::Completed;
        anyCancelled = anyCancelled || result.outcome == RunOutcome::Cancelled;
    }
    if (signal != 0 && anyCancelled) {
        return kExitSignalBase + signal;
    }
    return allCompleted ? kExitCompleted : kExitFailed;
}

} // namespace

std::string StationName(const CliOptions& options) {
    return options.stationName.empty() ? HostName() : options.stationName;
}

// A record that cannot be written is told; the run's log stays its record.
void Record(IRecordStore& store, IRunOutput& output, const std::vector<RunResult>& results,
            const RunPlace& place) {
    for (const RunResult& result : results) {
        RunRecord record = RecordOf(result, place);
        std::string reason;
        if (!store.AddRun(record, reason)) {
            output.Problem(result.port + ": the run was not recorded (" + reason + "); its log is " +
                           result.log);
        }
    }
}

int RunTransfer(const CliOptions& options) {
    std::vector<std::string> logs;
    if (!Destinations(options, logs)) {
        return kExitRefused;
    }
    std::unique_ptr<IRecordStore> store;
    if (!options.dbFile.empty()) {
        std::string reason;
        store = OpenRecordStore(options.dbFile, reason);
        if (!store) {
            std::cerr << "tovrin: " << reason << "\n";
            return kExitRefused;
        }
    }
    const auto started = std::chrono::system_clock::now();
    const sigset_t signals = BlockTerminationSignals();
    const BuiltInCatalogue catalogue(options.language);
    OutputOptions shown;
    shown.json = options.json;
    shown.quiet = options.quiet;
    shown.progress = options.progress;
    shown.prefixLines = options.ports.size() > 1;
    std::unique_ptr<IRunOutput> output = MakeRunOutput(shown, stdout, isatty(STDOUT_FILENO) == 1);

    // Everything that can be known before a port is touched is checked once for all of them.
    const ConfigurationFacts facts = InspectConfiguration(options.configFile, catalogue);
    if (facts.problem) {
        output->Problem(facts.problem->file + ": " + facts.problem->words);
    }
    const RunSetup setup{options, facts, catalogue, *output, facts.problem.has_value()};

    std::vector<std::unique_ptr<DeviceRun>> runs;
    for (size_t i = 0; i < options.ports.size(); ++i) {
        runs.push_back(std::make_unique<DeviceRun>(setup, options.ports[i], logs[i]));
    }
    std::vector<std::thread> threads;
    for (auto& run : runs) {
        threads.emplace_back([&run] { run->Run(); });
    }

    int signal = 0;
    while (!AllFinished(runs)) {
        const timespec tick{0, kTickNs};
        const int arrived = sigtimedwait(&signals, nullptr, &tick);
        if (arrived > 0) {
            // The first signal cancels every transfer, which then ends within about a second
            // with its log written; a second one leaves at once.
            if (signal != 0) {
                output->Abandon();
                std::fflush(stdout);
                std::_Exit(kExitSignalBase + arrived);
            }
            signal = arrived;
            for (auto& run : runs) {
                run->Cancel();
            }
        }
        output->ShowProgress(ProgressOf(runs));
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    output->ShowProgress(ProgressOf(runs));

    RunReport report;
    report.configuration = facts.path;
    report.started = IsoUtc(started);
    for (const auto& run : runs) {
        report.devices.push_back(run->Result());
        output->DeviceEnded(run->Result());
    }
    report.exitStatus = ExitStatus(setup.refused, signal, report.devices);
    const nlohmann::ordered_json document = ReportJson(report);
    std::string reason;
    if (!options.reportFile.empty() && !WriteJsonFile(options.reportFile, document, reason)) {
        output->Problem("the report cannot be written: " + reason);
        report.exitStatus = std::max(report.exitStatus, kExitFailed);
    }
    if (store) {
        Record(*store, *output, report.devices, {HostName(), StationName(options), facts.path, facts.sha256});
    }
    output->Finish(document, report.devices);
    return report.exitStatus;
}
