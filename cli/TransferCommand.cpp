// tovrin CFG -C PORT ...: one session per port, all in parallel, until every device has ended.
#include "cli/Commands.h"
#include "cli/ConfigurationCheck.h"
#include "cli/DeviceRun.h"
#include "cli/LogOutput.h"
#include "cli/Records.h"
#include "cli/Report.h"
#include "cli/RunId.h"
#include "cli/RunOutput.h"
#include "cli/Supervision.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <thread>

namespace {

constexpr long kTickMs = 100; // progress is shown ten times a second while it is shown at all
// At the end, how long the rows still waiting are given to reach the store: as long as a
// locked store is waited for.

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

// One device under two names (two links to one tty) would be opened twice: the second run would
// fail on the first one's lock while the device loads. Refused before any port is touched.
bool OneNamePerDevice(const std::vector<std::string>& ports) {
    for (size_t i = 0; i < ports.size(); ++i) {
        struct stat one {};
        if (stat(ports[i].c_str(), &one) != 0 || !S_ISCHR(one.st_mode)) {
            continue;
        }
        for (size_t j = 0; j < i; ++j) {
            struct stat other {};
            if (stat(ports[j].c_str(), &other) == 0 && S_ISCHR(other.st_mode) &&
                other.st_rdev == one.st_rdev) {
                std::cerr << "tovrin: " << ports[j] << " and " << ports[i]
                          << " are one device: name each device once\n";
                return false;
            }
        }
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

std::string FolderOf(const std::string& path) {
    const std::string absolute = AbsolutePath(path);
    const size_t slash = absolute.rfind('/');
    return slash == 0 ? "/" : absolute.substr(0, slash);
}

// What the record has to say: on standard error for people, as events for programs.
void TellRecords(Records& records, const CliOptions& options, IRunOutput& output) {
    const Records::News news = records.TakeNews();
    if (options.json) {
        for (const nlohmann::ordered_json& event : news.events) {
            output.Event(event);
        }
    } else {
        for (const std::string& line : news.lines) {
            output.Problem(line);
        }
    }
}

// The runs' rows reach the store before the report is written; rows that still cannot are
// kept for the next tovrin that opens the store.
void FinishRecords(Records& records, const CliOptions& options, IRunOutput& output) {
    const std::vector<std::string> waiting = records.Finish();
    TellRecords(records, options, output);
    for (const std::string& line : waiting) {
        output.Problem(line);
    }
}

} // namespace

std::string StationName(const CliOptions& options) {
    return options.stationName.empty() ? HostName() : options.stationName;
}

int RunTransfer(const CliOptions& options) {
    std::vector<std::string> logs;
    if (!Destinations(options, logs) || !OneNamePerDevice(options.ports)) {
        return kExitRefused;
    }
    std::unique_ptr<Records> records;
    if (!options.dbFile.empty()) {
        std::string reason;
        records = std::make_unique<Records>();
        if (!records->Open(options, options.dbFile, FolderOf(logs.front()),
                           RunPlace{HostName(), StationName(options)}, reason)) {
            std::cerr << "tovrin: " << reason << "\n";
            return kExitRefused;
        }
        records->Start();
    }
    const auto started = std::chrono::system_clock::now();
    const UniqueFd signals = TerminationSignals();
    const UniqueFd ended(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    const UniqueFd ticks(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    if (!signals || !ended || !ticks) {
        std::perror("tovrin: signalfd, eventfd or timerfd");
        return kExitRefused;
    }
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
    RunSetup setup{options, facts, catalogue, *output, facts.problem.has_value()};
    setup.recorder = records ? records->Recorder() : nullptr;

    std::vector<std::unique_ptr<DeviceRun>> runs;
    for (size_t i = 0; i < options.ports.size(); ++i) {
        runs.push_back(std::make_unique<DeviceRun>(setup, options.ports[i], logs[i], NewRunId()));
    }
    std::vector<std::thread> threads;
    for (auto& run : runs) {
        threads.emplace_back([&run, done = ended.Get()] {
            run->Run();
            SignalEventFd(done);
        });
    }

    // One wait on the signals, the runs' ends, the progress ticks (only while progress is shown)
    // and the record keeper: nothing wakes this thread without a reason.
    SetTicks(ticks.Get(), output->ShowsProgress() ? kTickMs : 0);
    const int keeperFd = records ? records->ChangedFd() : -1;
    int signal = 0;
    while (!AllFinished(runs)) {
        pollfd waits[] = {{signals.Get(), POLLIN, 0},
                          {ended.Get(), POLLIN, 0},
                          {ticks.Get(), POLLIN, 0},
                          {keeperFd, POLLIN, 0}};
        if (poll(waits, keeperFd >= 0 ? 4 : 3, -1) < 0) {
            continue; // EINTR
        }
        if (const int arrived = waits[0].revents != 0 ? TakeSignal(signals.Get()) : 0) {
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
        if (waits[1].revents != 0) {
            DrainEventFd(ended.Get());
        }
        if (waits[2].revents != 0) {
            DrainEventFd(ticks.Get());
            output->ShowProgress(ProgressOf(runs));
        }
        if (keeperFd >= 0 && waits[3].revents != 0) {
            TellRecords(*records, options, *output);
        }
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    output->ShowProgress(ProgressOf(runs));
    if (records) {
        FinishRecords(*records, options, *output);
    }

    RunReport report;
    report.configuration = facts.path;
    report.started = IsoUtc(started);
    for (const auto& run : runs) {
        report.devices.push_back(run->Result());
        output->DeviceEnded(run->Result());
    }
    report.exitStatus = ExitStatus(setup.refused, signal, report.devices);
    std::string reason;
    if (!options.reportFile.empty() && !WriteJsonFile(options.reportFile, ReportJson(report), reason)) {
        // The report's file, its event and the process say one status: the file's failure too.
        output->Problem("the report cannot be written: " + reason);
        report.exitStatus = std::max(report.exitStatus, kExitFailed);
    }
    output->Finish(ReportJson(report), report.devices);
    return report.exitStatus;
}
