#pragma once

#include "app/Catalogue.h"
#include "cli/CliOptions.h"
#include "cli/Console.h"
#include "config/Configuration.h"
#include "config/FileSystem.h"
#include "config/IniProfileReader.h"
#include "engine/TransferControl.h"
#include "engine/posix/PosixEnginePlatform.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// One device of a run: a session of its own (platform, threads, message queue), the batch
// transfer of the configuration into it, its message list and its log. Run() is its owner's
// thread: it starts the transfer and handles the session's messages one at a time until the
// transfer has ended and the log is written, as the Windows program's dialog does in batch mode.
class DeviceRun : public ISessionOwner, private IStepsList {
public:
    DeviceRun(const CliOptions& options, const std::string& port, const std::string& logFile,
              const ITextCatalogue& catalogue, Console& console, bool prefixLines);
    ~DeviceRun() override;
    DeviceRun(const DeviceRun&) = delete;
    DeviceRun& operator=(const DeviceRun&) = delete;

    void Run();
    // Ctrl-C: cancels a running transfer as the Cancel button does (any thread).
    void Cancel();

    bool Finished() const { return finished.load(); }
    // After Run: "*** Download finally completed" was reached and the log was written.
    bool Completed() const { return completed; }
    const std::string& Port() const { return port; }
    // The last line of the record: the final message, else the last line of the list.
    const std::string& Outcome() const { return outcome; }
    double Seconds() const { return seconds; }
    uint64_t BytesWritten() const { return platform->BytesWritten(); }
    Progress CurrentProgress();

    // ISessionOwner
    void AddTraceLine(const std::string& text) override;
    void UpdateTraceLine(const std::string& text) override;
    int TraceLineCount() override { return static_cast<int>(lines.size()); }
    std::string TraceLine(int index) override { return lines.at(static_cast<size_t>(index)); }
    void DeleteTraceLine(int index) override;
    void ResetTraceLines() override;
    void SetPortSummaryText(const std::string&) override {}
    void ShowPortSummary() override {}
    void SetStartButtonText(const std::string&) override {}
    void SetListLabel(const std::string&) override {}
    void SetDisplayMode(bool messages) override;
    void DisableConfigurationControls() override {}
    void EnableConfigurationControls() override {}
    Configuration* SelectedConfiguration() override { return configuration.get(); }
    std::string PortName() override { return port; }
    PortSettings LineSettings() override { return options.framing; }
    void ShowMessage(const std::string& text) override;
    bool AskYesNo(const std::string&, const std::string&) override { return true; }
    void WriteLogFile(const std::string* finalMessage) override;
    void PostClose() override;

private:
    // IStepsList: the steps view, shown when the configuration cannot start.
    void ResetContent() override { stepsView.clear(); }
    void AddString(const std::string& line) override { stepsView.push_back(line); }

    void LoadConfiguration();
    void HandleMessages();
    void TrackProgress(const PostedMessage& message);
    void Print(const std::string& line);
    void FlushDeviceLine();

    const CliOptions& options;
    const std::string port;
    const std::string logFile;
    const ITextCatalogue& catalogue;
    Console& console;
    const std::string prefix;

    std::shared_ptr<PosixEnginePlatform> platform = std::make_shared<PosixEnginePlatform>();
    MessageQueue queue;
    IniProfileReader profile;
    PosixFileSystem files;
    ConfigurationContext context{profile, files, catalogue};
    std::unique_ptr<Configuration> configuration;
    std::unique_ptr<TransferControl> control;

    std::vector<std::string> lines; // the message list
    bool deviceLinePending = false; // the last line is device output not printed yet
    std::vector<std::string> stepsView;
    std::string headerConfiguration;
    std::string startupMessage;
    std::time_t startTime = 0;
    bool logWritten = false;
    std::string finalMessage;

    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point programStarted;
    std::mutex progressMutex;
    Progress progress;

    std::atomic<bool> finished{false};
    bool completed = false;
    std::string outcome;
    double seconds = 0;
};
