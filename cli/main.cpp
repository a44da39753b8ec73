// tovrin: batch downloads into device controllers from Linux, one or many serial ports at once.
#include "cli/CliOptions.h"
#include "cli/Console.h"
#include "cli/DeviceRun.h"
#include "cli/LogOutput.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr long kTickNs = 100 * 1000 * 1000; // progress bars are redrawn ten times a second

const char* Environment(const char* name) {
    return std::getenv(name);
}

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

void ShowProgress(Console& console, const std::vector<std::unique_ptr<DeviceRun>>& runs) {
    if (!console.Terminal()) {
        return;
    }
    std::vector<std::string> bars;
    const size_t width = console.Width();
    for (const auto& run : runs) {
        bars.push_back(ProgressText(PortBaseName(run->Port()), run->CurrentProgress(), width));
    }
    console.ShowBars(bars);
}

void PrintSummary(const std::vector<std::unique_ptr<DeviceRun>>& runs) {
    size_t width = 4;
    for (const auto& run : runs) {
        width = std::max(width, run->Port().size());
    }
    std::printf("\n%-*s  %-9s  %9s  %10s  %s\n", int(width), "port", "outcome", "time", "bytes", "last line");
    for (const auto& run : runs) {
        std::printf("%-*s  %-9s  %8.1fs  %10llu  %s\n", int(width), run->Port().c_str(),
                    run->Completed() ? "completed" : "failed", run->Seconds(),
                    static_cast<unsigned long long>(run->BytesWritten()),
                    ForTerminal(run->Outcome()).c_str());
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    CliOptions options;
    switch (ParseCliOptions(argc, argv, options, std::cout, std::cerr, Environment)) {
    case ParseOutcome::Done:
        return 0;
    case ParseOutcome::Error:
        return 2;
    case ParseOutcome::Run:
        break;
    }
    const bool several = options.ports.size() > 1;
    std::vector<std::string> logs;
    for (const std::string& port : options.ports) {
        logs.push_back(several ? PortLogName(options.logFile, port) : options.logFile);
        std::string reason;
        if (!LogWritable(logs.back(), reason)) {
            std::cerr << "tovrin: the log cannot be written: " << reason << "\n";
            return 2;
        }
    }

    const sigset_t signals = BlockTerminationSignals();
    const BuiltInCatalogue catalogue(options.language);
    Console console(stdout, isatty(STDOUT_FILENO) == 1);
    std::vector<std::unique_ptr<DeviceRun>> runs;
    std::vector<std::thread> threads;
    for (size_t i = 0; i < options.ports.size(); ++i) {
        runs.push_back(
            std::make_unique<DeviceRun>(options, options.ports[i], logs[i], catalogue, console, several));
    }
    for (auto& run : runs) {
        threads.emplace_back([&run] { run->Run(); });
    }

    int interrupts = 0;
    while (!AllFinished(runs)) {
        const timespec tick{0, kTickNs};
        if (sigtimedwait(&signals, nullptr, &tick) > 0) {
            // The first Ctrl-C cancels every transfer, which then ends within about a second
            // with its log written; a second one leaves at once.
            if (++interrupts > 1) {
                std::fflush(stdout);
                std::_Exit(1);
            }
            for (auto& run : runs) {
                run->Cancel();
            }
        }
        ShowProgress(console, runs);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    console.ShowBars({});

    bool allCompleted = true;
    for (const auto& run : runs) {
        allCompleted = allCompleted && run->Completed();
    }
    if (several) {
        PrintSummary(runs);
    }
    return allCompleted ? 0 : 1;
}
