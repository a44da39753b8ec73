#include "cli/DeviceRun.h"

#include "app/MessageIds.h"
#include "cli/Report.h"
#include "ui/LogFile.h"
#include "ui/TraceRules.h"

#include <unistd.h>

namespace {

// The processes that have the port open besides us, as "process 4711 (minicom)", or empty.
std::string OtherUsersOf(const std::string& port) {
    std::string text;
    for (const PortUser& user : ProcessesWithPortOpen(port, getpid())) {
        text += (text.empty() ? "" : ", ") + DescribePortUser(user);
    }
    return text;
}

constexpr uint32_t kWmClose = 0x0010;
constexpr uint32_t kCancelRequest = 0x0400 + 100; // WM_USER + 100: Ctrl-C, as the Cancel button
// Block progress is taken this long after it came at the latest; it wakes the owner no sooner.
constexpr uint32_t kProgressLookMs = 100;
constexpr uint64_t kBootImageSize = 960;
// After the stop's own wait: how long the threads of an ended transfer may take to end, before
// the run counts as stuck.
constexpr uint32_t kThreadEndMs = 5000;

std::string WithoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The bytes a step sends after the connect: the boot image and the program file.
uint64_t StepBytes(const std::vector<StepFacts>& steps, size_t step) {
    return step >= 1 && step <= steps.size() ? kBootImageSize + steps[step - 1].programFile.size : 0;
}

const char* PhaseName(TransferEnding::Phase phase) {
    switch (phase) {
    case TransferEnding::Phase::Connecting:
        return "connecting";
    case TransferEnding::Phase::Boot:
        return "boot";
    case TransferEnding::Phase::Program:
        return "program";
    default:
        return "";
    }
}

std::string MessageText(const ITextCatalogue& catalogue, unsigned id, uint32_t code,
                        const std::string& argument) {
    return NamesFileOrPort(id) ? catalogue.Format(id, {argument, code}) : catalogue.Format(id, {code});
}

} // namespace

DeviceRun::DeviceRun(const RunSetup& setup, const std::string& port, const std::string& logFile,
                     const std::string& runId)
    : setup(setup), port(port), logFile(logFile), context{profile, files, setup.catalogue} {
    result.runId = runId;
    result.port = port;
    result.log = AbsolutePath(logFile);
    result.configuration = setup.facts.path;
    result.configurationSha256 = setup.facts.sha256;
    result.steps = setup.facts.steps;
    progress.steps = setup.facts.steps.size();
}

DeviceRun::~DeviceRun() = default;

void DeviceRun::Run() {
    started = std::chrono::steady_clock::now();
    startTime = std::time(nullptr);
    result.started = IsoUtc(std::chrono::system_clock::now());
    result.usb = ReadUsbIdentity(port, setup.sysRoot);
    OpenLog();
    if (!setup.refused) {
        ReadStepFilesOnce();
    }
    if (setup.recorder != nullptr) {
        setup.recorder->Started(result);
    }
    if (setup.refused && setup.facts.problem && !setup.facts.problem->refusedByTransfer) {
        RefuseAsChecked();
    } else {
        Transfer();
    }
    FillResult();
    if (setup.recorder != nullptr) {
        setup.recorder->Ended(result);
    }
    finished = true;
}

// The run sends the step files' bytes as it reads them now, and records those: a file replaced
// after the configuration was checked is recorded as it was sent.
void DeviceRun::ReadStepFilesOnce() {
    StepFiles read = ReadStepFiles(setup.facts.steps);
    platform->ServeFiles(std::move(read.bytes));
    std::lock_guard<std::mutex> lock(progressMutex); // the progress is made from the steps
    result.steps = std::move(read.steps);
}

void DeviceRun::Cancel() {
    queue->Post({kCancelRequest, 0, 0});
}

void DeviceRun::OpenLog() {
    log.Open(logFile, setup.newLogs             ? LogOpening::New
                      : setup.options.appendLog ? LogOpening::Append
                                                : LogOpening::Replace);
    ReportLogFailure();
}

void DeviceRun::ReportLogFailure() {
    if (log.Failed() && !logFailureReported) {
        logFailureReported = true;
        setup.output.Problem("the log cannot be written: " + log.Failure());
    }
}

// As the Windows program does with the file named on its command line: a file that is not
// there leaves no configuration selected, and the start reports it.
void DeviceRun::LoadConfiguration() {
    if (!files.FileExists(setup.options.configFile)) {
        startupMessage = setup.catalogue.Format(IDS_CMDLINE_FILE_MISSING, {setup.options.configFile});
        Print(startupMessage);
    } else {
        headerConfiguration = setup.options.configFile;
        configuration = std::make_unique<Configuration>(context, setup.options.configFile);
        configuration->ParseSteps(*this);
    }
    log.Write(LogRecordHead(headerConfiguration, LocaleDateTime(startTime), startupMessage));
}

// Another program that has the port open would receive what we send, and send into it: the
// user hears of it once, before the transfer.
void DeviceRun::WarnOfOtherUsers() {
    const std::string others = OtherUsersOf(port);
    if (!others.empty()) {
        setup.output.Problem(port + ": also open in " + others);
    }
}

// The configuration failed its check in a way the transfer would find only with the port
// open: the log records the message the transfer would have ended with, and no port is touched.
void DeviceRun::RefuseAsChecked() {
    LoadConfiguration();
    const ConfigurationProblem& problem = *setup.facts.problem;
    const std::string text = MessageText(setup.catalogue, problem.id, problem.code, problem.argument);
    WriteLogFile(&text);
    result.error = RunError{problem.id, problem.code,
                            WithoutLineEnd(MessageText(english, problem.id, problem.code, problem.argument))};
}

void DeviceRun::Transfer() {
    if (!setup.refused) {
        WarnOfOtherUsers();
    }
    LoadConfiguration();
    TransferOptions transfer;
    transfer.batchMode = true;
    transfer.maxConnectRetries = setup.options.retries;
    queue->DeferWakeFor(
        [](const PostedMessage& message) {
            return message.message == WM_TRANSFER_STATE && message.wParam == IDS_BLOCK_OF;
        },
        kProgressLookMs);
    control = std::make_unique<TransferControl>(*this, setup.catalogue, platform, window.Get(), transfer);
    control->StartOrCancel();
    HandleMessages();
}

// The owner's message loop: every message of the session in the order posted, until the close
// that ends a batch transfer.
void DeviceRun::HandleMessages() {
    for (;;) {
        PostedMessage message;
        if (!queue->Next(message, kInfinite)) {
            continue;
        }
        if (message.message == kWmClose) {
            WriteLogFile(nullptr);
            return;
        }
        if (message.message == kCancelRequest) {
            if (control->IsRunning()) {
                control->AbortTransfer(setup.catalogue.LoadText(IDS_CANCELLED_BY_USER));
            }
            continue;
        }
        control->Dispatch(message.message, message.wParam, message.lParam);
        TrackProgress(message);
    }
}

void DeviceRun::TrackProgress(const PostedMessage& message) {
    if (message.message != WM_TRANSFER_STATE) {
        return;
    }
    const LoadingStep* step = control->StepConcerned();
    const auto now = std::chrono::steady_clock::now();
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
        // Counted, not read from the port: by the time this message is taken, the boot image
        // may already have been written.
        wakeUpBytes += progress.attempt;
        stepBase = doneBytes + wakeUpBytes;
        dataStarted = now;
        break;
    case IDS_TRANSMITTING_PROGRAM:
        progress.phase = Progress::Phase::Program;
        progress.block = 0;
        progress.blocks = progress.step >= 1 && progress.step <= result.steps.size()
                              ? result.steps[progress.step - 1].blocks
                              : 0;
        break;
    case IDS_BLOCK_OF:
        progress.block = static_cast<uint32_t>(message.lParam);
        if (step != nullptr && step->blockCount != 0) {
            progress.blocks = step->blockCount;
        }
        break;
    case IDS_DOWNLOAD_COMPLETED:
        doneBytes += StepBytes(result.steps, progress.step);
        dataSeconds += std::chrono::duration<double>(now - dataStarted).count();
        if (progress.step < progress.steps) {
            progress.phase = Progress::Phase::Connecting; // until the next step announces itself
            progress.attempt = 0;
        }
        break;
    default:
        break;
    }
}

DeviceProgress DeviceRun::CurrentProgress() {
    std::lock_guard<std::mutex> lock(progressMutex);
    Progress now = progress;
    now.bytes = platform->BytesWritten();
    now.seconds = SecondsSince(started);
    const bool sending = now.phase == Progress::Phase::Boot || now.phase == Progress::Phase::Program;
    const uint64_t stepBytes = StepBytes(result.steps, now.step);
    const uint64_t current = sending ? std::min(now.bytes - std::min(now.bytes, stepBase), stepBytes) : 0;
    uint64_t total = 0;
    for (size_t step = 1; step <= result.steps.size(); ++step) {
        total += StepBytes(result.steps, step);
    }
    const double done = static_cast<double>(doneBytes + current);
    const double spent = dataSeconds + (sending ? SecondsSince(dataStarted) : 0);
    now.fraction = total > 0 ? done / static_cast<double>(total) : 0;
    now.rate = spent > 0.05 ? done / spent : 0;
    now.secondsLeft = now.rate > 0 ? (static_cast<double>(total) - done) / now.rate : -1;
    if (finished.load() || now.phase >= Progress::Phase::Completed) {
        now.secondsLeft = 0;
    }
    return {port, DeviceName(port), result.runId, now};
}

void DeviceRun::Print(const std::string& line) {
    if (!setup.refused) {
        setup.output.Line(port, result.runId, line);
    }
}

// Writes and shows the lines that have become final: all of them, or all but a last line that
// may still change. Lines before the last final one are no longer kept.
void DeviceRun::Commit(bool includingLast) {
    const size_t total = firstLine + lines.size();
    const size_t upto = includingLast || !lastPending ? total : total - 1;
    for (size_t index = committed; index < upto; ++index) {
        const std::string& line = lines[index - firstLine];
        log.Write(LogRecordLine(line));
        Print(line);
    }
    committed = std::max(committed, upto);
    if (includingLast) {
        lastPending = false;
        deviceLineOpen = false;
    }
    while (lines.size() > 1 && firstLine + 1 < committed) {
        lines.pop_front();
        ++firstLine;
    }
}

std::string DeviceRun::TraceLine(int index) {
    if (index < 0 || static_cast<size_t>(index) < firstLine ||
        static_cast<size_t>(index) >= firstLine + lines.size()) {
        return std::string();
    }
    return lines[static_cast<size_t>(index) - firstLine];
}

void DeviceRun::AddTraceLine(const std::string& text) {
    Commit(true);
    lines.push_back(text);
    Commit(true);
}

// The latest 0-byte attempt: the next attempt replaces it, anything else makes it final.
void DeviceRun::AddPendingTraceLine(const std::string& text) {
    Commit(true);
    lines.push_back(text);
    lastPending = true;
}

// Device output grows one line while its bytes arrive. A line that has ended is final: the
// next one starts a line of its own even when it begins with the same text.
void DeviceRun::UpdateTraceLine(const std::string& text) {
    if (deviceLineOpen && lastPending && !lines.empty() && ContinuesLine(lines.back(), text)) {
        lines.back() = text;
        return;
    }
    Commit(true);
    lines.push_back(text);
    lastPending = true;
    deviceLineOpen = true;
}

void DeviceRun::EndTraceLine() {
    if (deviceLineOpen) {
        Commit(true);
    }
}

// Only the last line, while it may still change, can go: a final line is in the log already.
void DeviceRun::DeleteTraceLine(int index) {
    if (lastPending && index >= 0 && static_cast<size_t>(index) + 1 == firstLine + lines.size()) {
        lines.pop_back();
        lastPending = false;
        deviceLineOpen = false;
    }
}

void DeviceRun::ResetTraceLines() {
    Commit(true);
    lines.clear();
    firstLine = committed = 0;
}

// The steps view: the reasons why the configuration cannot start.
void DeviceRun::SetDisplayMode(bool messages) {
    if (messages || setup.refused) {
        return;
    }
    for (const std::string& line : stepsView) {
        setup.output.Problem(port + ": " + line);
    }
}

void DeviceRun::ShowMessage(const std::string& text) {
    setup.output.Problem(port + ": " + WithoutLineEnd(text));
}

// Once per run, as the Windows program: the lines not yet written, the final message and the
// record's end, then the log is flushed to the disk.
void DeviceRun::WriteLogFile(const std::string* message) {
    if (logEnded) {
        return;
    }
    logEnded = true;
    Commit(true);
    if (message != nullptr) {
        Print(WithoutLineEnd(*message));
    }
    log.Write(LogRecordEnd(message));
    logWritten = log.Finish();
    ReportLogFailure();
}

void DeviceRun::PostClose() {
    queue->Post({kWmClose, 0, 0});
}

void DeviceRun::FillResult() {
    result.finished = IsoUtc(std::chrono::system_clock::now());
    result.seconds = SecondsSince(started);
    result.bytes = platform->BytesWritten();
    result.record = log.Record();
    result.logWritten = logWritten;
    if (control) {
        const TransferEnding ending = control->Ending();
        const bool completed = control->Completed();
        result.stuck = !control->ThreadsEnded(kThreadEndMs);
        if (result.stuck) {
            setup.output.Problem(port + ": a thread of the transfer did not end; the port is left alone");
        }
        control.reset();
        switch (ending.result) {
        case TransferEnding::Result::Completed:
            result.outcome = completed ? RunOutcome::Completed : RunOutcome::Failed;
            break;
        case TransferEnding::Result::Cancelled:
            result.outcome = RunOutcome::Cancelled;
            break;
        case TransferEnding::Result::Refused:
            result.outcome = RunOutcome::NotStarted;
            break;
        default:
            result.outcome = RunOutcome::Failed;
            break;
        }
        if (ending.result != TransferEnding::Result::Completed &&
            ending.result != TransferEnding::Result::None) {
            result.error = RunError{ending.id, ending.code, WithoutLineEnd(EndingText(ending, english))};
        }
        result.step = ending.stepStarted ? ending.step + 1 : 0;
        result.phase = PhaseName(ending.phase);
    }
    if (result.outcome == RunOutcome::Completed && !logWritten) {
        result.outcome = RunOutcome::Failed;
        result.error = RunError{0, 0, "the log cannot be written: " + log.Failure()};
    }
    if (result.outcome != RunOutcome::Completed) {
        result.cause = platform->Cause();
        if (result.cause.kind != SystemCause::Kind::None) {
            setup.output.Problem(DescribeCause(result.cause));
        }
    }
    std::lock_guard<std::mutex> lock(progressMutex);
    progress.phase = result.outcome == RunOutcome::Completed   ? Progress::Phase::Completed
                     : result.outcome == RunOutcome::Cancelled ? Progress::Phase::Cancelled
                                                               : Progress::Phase::Failed;
}
