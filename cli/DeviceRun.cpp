#include "cli/DeviceRun.h"

#include "app/MessageIds.h"
#include "cli/LogOutput.h"
#include "ui/LogFile.h"
#include "ui/TraceRules.h"

namespace {

constexpr uint32_t kWmClose = 0x0010;
constexpr uint32_t kCancelRequest = 0x0400 + 100; // WM_USER + 100: Ctrl-C, as the Cancel button
// Block progress is taken at least this often; it wakes the owner no sooner.
constexpr uint32_t kProgressLookMs = 100;

std::string WithoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

DeviceRun::DeviceRun(const CliOptions& options, const std::string& port, const std::string& logFile,
                     const ITextCatalogue& catalogue, Console& console, bool prefixLines)
    : options(options), port(port), logFile(logFile), catalogue(catalogue), console(console),
      prefix(prefixLines ? "[" + PortBaseName(port) + "] " : std::string()) {}

DeviceRun::~DeviceRun() = default;

void DeviceRun::Run() {
    started = std::chrono::steady_clock::now();
    startTime = std::time(nullptr);
    LoadConfiguration();
    TransferOptions transfer;
    transfer.batchMode = true;
    transfer.maxConnectRetries = options.retries;
    queue.DeferWakeFor([](const PostedMessage& message) {
        return message.message == WM_TRANSFER_STATE && message.wParam == IDS_BLOCK_OF;
    });
    control = std::make_unique<TransferControl>(*this, catalogue, platform, queue.Window(), transfer);
    control->StartOrCancel();
    HandleMessages();
    FlushDeviceLine();
    completed = control->Completed() && logWritten;
    control.reset(); // the session's threads have been stopped by the end of the transfer
    outcome = !finalMessage.empty() ? WithoutLineEnd(finalMessage) : (lines.empty() ? "" : lines.back());
    seconds = SecondsSince(started);
    {
        std::lock_guard<std::mutex> lock(progressMutex);
        progress.phase = Progress::Phase::Done;
    }
    finished = true;
}

void DeviceRun::Cancel() {
    queue.Post({kCancelRequest, 0, 0});
}

// As the Windows program does with the file named on its command line: a file that is not
// there leaves no configuration selected, and the start reports it.
void DeviceRun::LoadConfiguration() {
    if (!files.FileExists(options.configFile)) {
        startupMessage = catalogue.Format(IDS_CMDLINE_FILE_MISSING, {options.configFile});
        Print(startupMessage);
        return;
    }
    headerConfiguration = options.configFile;
    configuration = std::make_unique<Configuration>(context, options.configFile);
    configuration->ParseSteps(*this);
    std::lock_guard<std::mutex> lock(progressMutex);
    progress.steps = configuration->Steps().size();
}

// The owner's message loop: every message of the session in the order posted, until the close
// that ends a batch transfer.
void DeviceRun::HandleMessages() {
    for (;;) {
        PostedMessage message;
        if (!queue.Next(message, kProgressLookMs)) {
            continue;
        }
        if (message.message == kWmClose) {
            FlushDeviceLine();
            WriteLogFile(nullptr);
            return;
        }
        if (message.message == kCancelRequest) {
            if (control->IsRunning()) {
                control->AbortTransfer(catalogue.LoadText(IDS_CANCELLED_BY_USER));
            }
            continue;
        }
        control->Dispatch(message.message, message.wParam, message.lParam);
        // A device line is shown once it is complete: its line end has arrived.
        if (message.message == kWmCommNotify && control->Session().rxLine.empty()) {
            FlushDeviceLine();
        }
        TrackProgress(message);
    }
}

void DeviceRun::TrackProgress(const PostedMessage& message) {
    if (message.message != WM_TRANSFER_STATE) {
        return;
    }
    const LoadingStep* step = control->StepConcerned();
    std::lock_guard<std::mutex> lock(progressMutex);
    switch (message.wParam) {
    case IDS_CONNECTING:
        progress.phase = Progress::Phase::Connecting;
        progress.step = control->StepIndex() + 1;
        progress.attempt = 0;
        break;
    case IDS_TRANSMITTING_ZERO_BYTE:
        progress.attempt = static_cast<uint32_t>(message.lParam);
        break;
    case IDS_CONNECTED:
        progress.phase = Progress::Phase::Boot;
        break;
    case IDS_TRANSMITTING_PROGRAM:
        progress.phase = Progress::Phase::Program;
        progress.block = 0;
        progress.blocks = 0;
        programStarted = std::chrono::steady_clock::now();
        break;
    case IDS_BLOCK_OF:
        progress.block = static_cast<uint32_t>(message.lParam);
        progress.blocks = step != nullptr ? uint32_t(step->blockCount) : 0;
        break;
    case IDS_DOWNLOAD_FINALLY_COMPLETED:
        progress.phase = Progress::Phase::Done;
        break;
    default:
        break;
    }
}

Progress DeviceRun::CurrentProgress() {
    std::lock_guard<std::mutex> lock(progressMutex);
    Progress now = progress;
    now.bytes = platform->BytesWritten();
    now.seconds = SecondsSince(started);
    now.programSeconds = progress.phase == Progress::Phase::Program ? SecondsSince(programStarted) : 0;
    return now;
}

void DeviceRun::Print(const std::string& line) {
    console.Line(prefix, line);
}

void DeviceRun::FlushDeviceLine() {
    if (deviceLinePending && !lines.empty()) {
        Print(lines.back());
    }
    deviceLinePending = false;
}

void DeviceRun::AddTraceLine(const std::string& text) {
    FlushDeviceLine();
    lines.push_back(text);
    Print(text);
}

// Device output grows one line while its bytes arrive; it is printed when it is complete.
void DeviceRun::UpdateTraceLine(const std::string& text) {
    if (!lines.empty() && ContinuesLine(lines.back(), text)) {
        lines.back() = text;
    } else {
        FlushDeviceLine();
        lines.push_back(text);
    }
    deviceLinePending = true;
}

void DeviceRun::DeleteTraceLine(int index) {
    if (index < 0 || static_cast<size_t>(index) >= lines.size()) {
        return;
    }
    if (static_cast<size_t>(index) + 1 == lines.size()) {
        deviceLinePending = false;
    }
    lines.erase(lines.begin() + index);
}

void DeviceRun::ResetTraceLines() {
    lines.clear();
    deviceLinePending = false;
}

// The steps view: the reasons why the configuration cannot start.
void DeviceRun::SetDisplayMode(bool messages) {
    if (messages) {
        return;
    }
    for (const std::string& line : stepsView) {
        console.Error(prefix + line);
    }
}

void DeviceRun::ShowMessage(const std::string& text) {
    console.Error(prefix + WithoutLineEnd(text));
}

// Once per run, as the Windows program: the first call writes the record; a later one only when
// the first could not write it.
void DeviceRun::WriteLogFile(const std::string* message) {
    if (logWritten) {
        return;
    }
    if (message != nullptr && finalMessage.empty()) {
        finalMessage = *message;
        Print(WithoutLineEnd(*message));
        const std::string detail = platform->PortFailureDetail();
        if (!detail.empty()) {
            console.Error("tovrin: " + detail);
        }
    }
    const std::string record =
        FormatLogRecord(headerConfiguration, LocaleDateTime(startTime), startupMessage, lines, message);
    std::string reason;
    logWritten = WriteLogRecordFile(logFile, options.appendLog, record, reason);
    if (!logWritten) {
        console.Error("tovrin: the log cannot be written: " + reason);
    }
}

void DeviceRun::PostClose() {
    queue.Post({kWmClose, 0, 0});
}
