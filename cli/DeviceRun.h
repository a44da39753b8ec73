#pragma once

#include "app/Catalogue.h"
#include "cli/CliOptions.h"
#include "cli/ConfigurationCheck.h"
#include "cli/LogOutput.h"
#include "cli/RunOutput.h"
#include "cli/RunResult.h"
#include "config/Configuration.h"
#include "config/FileSystem.h"
#include "config/IniProfileReader.h"
#include "engine/TransferControl.h"
#include "engine/posix/PosixEnginePlatform.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// What every device of a run shares: the options, the configuration as checked before the
// run, the texts and where the output goes.
struct RunSetup {
    const CliOptions& options;
    const ConfigurationFacts& facts;
    const ITextCatalogue& catalogue;
    IRunOutput& output;
    // The configuration was refused before any port was touched: each device only records the
    // refusal in its log.
    bool refused = false;
    std::string sysRoot = "/";        // where sysfs is read from
    IRunRecorder* recorder = nullptr; // where the runs' rows go, when they are recorded
    bool newLogs = false;             // each log is a new file of its own (a station's)
};

// One device of a run: a session of its own (platform, threads, message queue), the batch
// transfer of the configuration into it, its message list and its log. Run() is its owner's
// thread: it starts the transfer and handles the session's messages one at a time until the
// transfer has ended and the log is written, as the Windows program's dialog does in batch
// mode. The log is written as the lines become final.
class DeviceRun : public ISessionOwner, private IStepsList {
public:
    DeviceRun(const RunSetup& setup, const std::string& port, const std::string& logFile,
              const std::string& runId);
    ~DeviceRun() override;
    DeviceRun(const DeviceRun&) = delete;
    DeviceRun& operator=(const DeviceRun&) = delete;

    void Run();
    // Ctrl-C: cancels a running transfer as the Cancel button does (any thread).
    void Cancel();

    bool Finished() const { return finished.load(); }
    const std::string& Port() const { return port; }
    const std::string& RunId() const { return result.runId; }
    // After Run: the run's value.
    const RunResult& Result() const { return result; }
    DeviceProgress CurrentProgress();

    // ISessionOwner
    void AddTraceLine(const std::string& text) override;
    void AddPendingTraceLine(const std::string& text) override;
    void UpdateTraceLine(const std::string& text) override;
    void EndTraceLine() override;
    int TraceLineCount() override { return static_cast<int>(firstLine + lines.size()); }
    std::string TraceLine(int index) override;
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
    PortSettings LineSettings() override { return setup.options.framing; }
    void ShowMessage(const std::string& text) override;
    bool AskYesNo(const std::string&, const std::string&) override { return true; }
    void WriteLogFile(const std::string* finalMessage) override;
    void PostClose() override;

private:
    // IStepsList: the steps view, shown when the configuration cannot start.
    void ResetContent() override { stepsView.clear(); }
    void AddString(const std::string& line) override { stepsView.push_back(line); }

    void OpenLog();
    void ReadStepFilesOnce();
    void ReportLogFailure();
    void LoadConfiguration();
    void WarnOfOtherUsers();
    void RefuseAsChecked();
    void Transfer();
    void HandleMessages();
    void TrackProgress(const PostedMessage& message);
    void Commit(bool includingLast);
    void Print(const std::string& line);
    void FillResult();

    const RunSetup& setup;
    const std::string port;
    const std::string logFile;
    const BuiltInCatalogue english{CatalogueLanguage::English};

    std::shared_ptr<PosixEnginePlatform> platform = std::make_shared<PosixEnginePlatform>();
    std::shared_ptr<MessageQueue> queue = std::make_shared<MessageQueue>();
    ScopedHandle window{*platform, platform->AddWindow(queue)};
    IniProfileReader profile;
    PosixFileSystem files;
    ConfigurationContext context;
    std::unique_ptr<Configuration> configuration;
    std::unique_ptr<TransferControl> control;

    // The message list: the lines not yet final, after the last final one (kept for the
    // engine's look at the last line). Lines before firstLine are in the log already.
    std::deque<std::string> lines;
    size_t firstLine = 0;
    size_t committed = 0;        // lines final and written, counted from the first
    bool lastPending = false;    // the last line may still change
    bool deviceLineOpen = false; // the last line is device output that may still grow
    std::vector<std::string> stepsView;
    std::string headerConfiguration;
    std::string startupMessage;
    std::time_t startTime = 0;
    LiveLog log;
    bool logWritten = false;
    bool logEnded = false;
    bool logFailureReported = false;

    std::chrono::steady_clock::time_point started;
    std::mutex progressMutex;
    Progress progress;
    uint64_t stepBase = 0;    // bytes written when the step's data began
    uint64_t wakeUpBytes = 0; // the 0x00 bytes of the steps that connected
    uint64_t doneBytes = 0;   // of the steps completed
    double dataSeconds = 0;   // spent sending the completed steps' data
    std::chrono::steady_clock::time_point dataStarted;

    std::atomic<bool> finished{false};
    RunResult result;
};
