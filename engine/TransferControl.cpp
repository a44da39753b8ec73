#include "engine/TransferControl.h"

#include "app/MessageIds.h"

namespace {

// The port set-up failures carry plain texts of their own, each ending with a line feed.
const char* SetupFailureText(PortSetupCall call) {
    switch (call) {
    case PortSetupCall::SetCommMask:
        return "SetCommMask failed with error %d.\n";
    case PortSetupCall::SetupComm:
        return "SetupComm failed with error %d.\n";
    case PortSetupCall::PurgeComm:
        return "PurgeComm failed with error %d.\n";
    case PortSetupCall::SetCommTimeouts:
        return "SetCommTimeouts failed with error %d.\n";
    default:
        return "SetCommState failed with error %d.\n";
    }
}

constexpr uint32_t kStopWaitMs = 1000;
// A thread that outlived the stop's wait is given this much more at the next start; it may be
// letting go of a pending operation (up to 2000 ms) or finishing a file read.
constexpr uint32_t kRestartWaitMs = 3000;
constexpr const char kThreadsNotEnded[] = "The threads of the previous transfer have not ended.\n";

} // namespace

TransferControl::TransferControl(ISessionOwner& owner, const ITextCatalogue& catalogue,
                                 std::shared_ptr<IEnginePlatform> platformIn, OsHandle ownerWindow,
                                 const TransferOptions& options)
    : owner(owner), catalogue(catalogue), platform(std::move(platformIn)), options(options),
      session(std::make_shared<TransferSession>(platform, ownerWindow, options.dryRun)) {
    session->maxConnectRetries = options.maxConnectRetries;
}

TransferControl::~TransferControl() {
    // The owner is going: stop without touching it. The threads hold the session themselves,
    // so a thread slow to end never touches freed memory.
    StopThreads();
}

void TransferControl::StartOrCancel() {
    if (IsRunning()) {
        // The question runs a message loop of its own: the transfer may end while it is open,
        // and a cancel must then add nothing after the end (nor close a batch run twice).
        if (owner.AskYesNo(catalogue.LoadText(IDS_CANCEL_DOWNLOADING), catalogue.LoadText(IDS_CANCEL)) &&
            IsRunning()) {
            AbortTransfer(catalogue.LoadText(IDS_CANCELLED_BY_USER));
        }
        return;
    }
    ending = TransferEnding();
    Configuration* configuration = nullptr;
    if (!CheckConfiguration(configuration)) {
        return;
    }
    StopSession();
    if (!PreviousThreadsEnded()) {
        // Its own handle of the port would make the port's opening fail for no visible reason.
        Refuse(0, 0, std::string(), kThreadsNotEnded);
        return;
    }
    owner.SetListLabel(catalogue.LoadText(IDS_MESSAGES_LABEL));
    owner.DisableConfigurationControls();
    owner.SetDisplayMode(true);
    if (!OpenAndConfigurePort()) {
        return;
    }
    PrepareSession(*configuration);
    if (!StartThreads()) {
        return;
    }
    platform->SetEvent(session->notifyEvent.Get());
    owner.SetStartButtonText(catalogue.LoadText(IDS_CANCEL));
}

bool TransferControl::CheckConfiguration(Configuration*& configuration) {
    configuration = owner.SelectedConfiguration();
    if (configuration == nullptr) {
        Refuse(IDS_NO_CONFIGURATION_SELECTED, 0, std::string(),
               catalogue.LoadText(IDS_NO_CONFIGURATION_SELECTED));
        return false;
    }
    if (configuration->FirstStep() == nullptr) {
        Refuse(IDS_NO_DOWNLOAD_STEPS, 0, std::string(), catalogue.LoadText(IDS_NO_DOWNLOAD_STEPS));
        return false;
    }
    if (!configuration->Validate()) {
        owner.SetDisplayMode(false);
        Refuse(IDS_MISSING_FILES, 0, std::string(), catalogue.LoadText(IDS_MISSING_FILES));
        return false;
    }
    return true;
}

bool TransferControl::OpenAndConfigurePort() {
    const std::string portName = owner.PortName();
    uint32_t error = 0;
    OsHandle port = platform->OpenPort(portName, error);
    if (port == nullptr) {
        Refuse(IDS_FAILED_OPEN_PORT, error, portName, catalogue.Format(IDS_FAILED_OPEN_PORT, {portName}));
        session->portHandle = nullptr;
        EndTransfer();
        return false;
    }
    session->portHandle = port;
    owner.ResetTraceLines();
    owner.AddTraceLine(catalogue.LoadText(IDS_START_DOWNLOAD));
    owner.ShowPortSummary();
    PortSetupCall failed = platform->ConfigurePort(port, owner.LineSettings(), error);
    if (failed != PortSetupCall::None) {
        Refuse(0, error, std::string(), FormatText(SetupFailureText(failed), {error}));
        ReportMessage(catalogue.LoadText(IDS_MISSING_FILES));
        EndTransfer();
        return false;
    }
    return true;
}

void TransferControl::PrepareSession(const Configuration& configuration) {
    const uint64_t posted = session->postedMessages.load();
    staleMessages = posted > dispatchedMessages ? posted - dispatchedMessages : 0;
    session->rxRead = 0;
    session->rxWrite = 0;
    session->rxLine.clear();
    session->receiveState = RxIdle;
    session->downloadState = Connecting;
    session->rxErrorSite = kSiteNone; // a site left by a dropped report is no site of this run
    platform->ResetEvent(session->stopEvent.Get());
    session->SetSteps(configuration.Steps());
    handledStep = 0;
    connectingSeen = false;
    phase = TransferEnding::Phase::None;
    completed = false;
}

bool TransferControl::StartThreads() {
    const std::shared_ptr<TransferSession> shared = session;
    OsHandle port = session->portHandle.load();
    using Procedure = void (*)(TransferSession&, OsHandle);
    struct Start {
        Procedure procedure;
        ScopedHandle* handle;
        uint32_t* id;
    } starts[] = {{ReceiveThreadProc, &session->receiveThread, &session->receiveThreadId},
                  {DownloadThreadProc, &session->downloadThread, &session->downloadThreadId}};
    for (const Start& start : starts) {
        OsHandle own = platform->DuplicatePortHandle(port);
        Procedure procedure = start.procedure;
        OsHandle thread = platform->StartThread(
            [shared, own, procedure]() {
                ScopedHandle ownPort(*shared->platform, own);
                procedure(*shared, ownPort.Get());
            },
            *start.id);
        uint32_t error = thread == nullptr ? platform->LastError() : 0;
        *start.handle = ScopedHandle(*platform, thread);
        if (thread == nullptr) {
            // No thread, no end of the transfer: report it rather than wait forever.
            if (own != nullptr) {
                platform->CloseHandle(own);
            }
            Refuse(0, error, std::string(), FormatText("CreateThread failed with error %d.\n", {error}));
            EndTransfer();
            return false;
        }
    }
    return true;
}

void TransferControl::StopSession() {
    StopThreads();
    owner.EnableConfigurationControls();
}

uint32_t TransferControl::LiveThreads(OsHandle (&threads)[2]) const {
    uint32_t count = 0;
    for (OsHandle thread : {session->downloadThread.Get(), session->receiveThread.Get()}) {
        if (thread != nullptr) {
            threads[count++] = thread;
        }
    }
    return count;
}

// Signals both threads, closes the port and waits briefly for them; a second call waits no more.
void TransferControl::StopThreads() {
    OsHandle threads[2];
    uint32_t count = LiveThreads(threads);
    platform->SetEvent(session->stopEvent.Get());
    if (OsHandle port = session->portHandle.load()) {
        platform->CloseHandle(port);
        session->portHandle = nullptr;
        if (count > 0) {
            platform->WaitForThreads(threads, count, kStopWaitMs);
        }
    }
}

// The threads of the last transfer, stopped already, are waited for (bounded) before a new one
// starts: only then does the port open, and only then are their messages all in the queue.
bool TransferControl::PreviousThreadsEnded() {
    return ThreadsEnded(kRestartWaitMs);
}

bool TransferControl::ThreadsEnded(uint32_t timeoutMs) {
    OsHandle threads[2];
    uint32_t count = LiveThreads(threads);
    return count == 0 || platform->WaitForThreads(threads, count, timeoutMs) != kWaitTimeout;
}

const LoadingStep* TransferControl::StepConcerned() {
    return session->StepAt(handledStep);
}

void TransferControl::OnTransferState(unsigned id, uint32_t argument) {
    if (id == IDS_CONNECTING) {
        if (connectingSeen) {
            ++handledStep;
        }
        connectingSeen = true;
    }
    TrackPhase(id);
    const LoadingStep* step = StepConcerned();
    if (id == IDS_BLOCK_OF) {
        owner.SetPortSummaryText(
            catalogue.Format(id, {argument, step != nullptr ? uint32_t(step->blockCount) : 0u}));
    } else if (id == IDS_TRANSMITTING_ZERO_BYTE) {
        // Only the latest attempt stays in the list.
        const std::string text = catalogue.LoadText(id);
        const std::string prefix = text.substr(0, text.find('%'));
        int count = owner.TraceLineCount();
        if (count > 0 && owner.TraceLine(count - 1).compare(0, prefix.size(), prefix) == 0) {
            owner.DeleteTraceLine(count - 1);
        }
        owner.AddPendingTraceLine(FormatText(text, {argument}));
    } else if (id == IDS_BIN_TRANSMITTED || id == IDS_TRANSMITTING_PROGRAM) {
        const std::string file =
            step == nullptr ? "" : (id == IDS_BIN_TRANSMITTED ? step->bootFile : step->firmwareFile);
        owner.AddTraceLine(catalogue.Format(id, {file, argument}));
    } else {
        owner.AddTraceLine(catalogue.Format(id, {argument}));
    }
    if (id == IDS_DOWNLOAD_FINALLY_COMPLETED) {
        completed = true;
        RecordEnding(TransferEnding::Result::Completed, id, argument);
    }
    if (session->downloadState.load() == Ended) {
        EndTransfer();
    }
}

void TransferControl::OnTransferError(unsigned id, uint32_t code) {
    const LoadingStep* step = StepConcerned();
    TransferEnding failure;
    failure.id = id;
    failure.code = code;
    if (step != nullptr && NamesFileOrPort(id)) {
        failure.argument = NamesBootFile(id) ? step->bootFile : step->firmwareFile;
    }
    completed = false;
    RecordEnding(TransferEnding::Result::Failed, id, code, failure.argument);
    owner.AddTraceLine(EndingText(failure, catalogue));
    EndTransfer();
}

void TransferControl::OnReceiveError(unsigned id, uint32_t code) {
    int32_t state = session->downloadState.load();
    if (state == Ended || state == Failed) {
        return; // the transfer is already over
    }
    TransferEnding failure;
    failure.id = id;
    failure.code = code;
    // Only the receive thread's own failures carry a site.
    if (id == IDS_RECEIVE_THREAD_ERROR) {
        failure.site = session->rxErrorSite.load();
        session->rxErrorSite = kSiteNone;
    }
    completed = false;
    if (RecordEnding(TransferEnding::Result::Failed, id, code)) {
        ending.site = failure.site;
    }
    owner.AddTraceLine(EndingText(failure, catalogue));
    EndTransfer();
}

// Device output: one growing line per received text line; CR or LF starts a new one.
// The list shows the line as if it were updated at every byte. Only the first byte of a line
// in each drain can add an entry (or replace an earlier one); every later byte only replaces
// the entry it grew from, so one update at the end of the run has the same result and keeps
// the list up with a device that talks at full line rate.
void TransferControl::OnCommNotify(uint32_t events) {
    platform->SetEvent(session->notifyEvent.Get());
    if ((events & kEvRxChar) == 0) {
        return;
    }
    std::string& line = session->rxLine;
    bool grown = false; // bytes appended since the last update
    // The line's first update of this drain is needed unless the list ends with the line as
    // it stands: then every update of this drain only replaces that entry.
    int count = owner.TraceLineCount();
    bool firstDone = !line.empty() && count > 0 && owner.TraceLine(count - 1) == line;
    auto flush = [&]() {
        if (grown) {
            owner.UpdateTraceLine(line);
            grown = false;
        }
    };
    uint32_t read = session->rxRead.load(std::memory_order_relaxed);
    while (read != session->rxWrite.load(std::memory_order_acquire)) {
        uint8_t byte = session->rxRing[read];
        if (byte == 0x0D || byte == 0x0A) {
            flush();
            if (!line.empty()) {
                owner.EndTraceLine();
            }
            line.clear();
            firstDone = false;
        } else {
            if (byte >= 0x20 && byte <= 0x7E) {
                line += static_cast<char>(byte);
            } else {
                line += catalogue.Format(IDS_DEVICE_BYTE, {static_cast<unsigned>(byte)});
            }
            grown = true;
            if (!firstDone) {
                flush();
                firstDone = true;
            }
        }
        read = read + 1 == TransferSession::kRingSize ? 0 : read + 1;
        session->rxRead.store(read, std::memory_order_release);
    }
    flush();
}

bool TransferControl::DropStale() {
    ++dispatchedMessages;
    if (staleMessages == 0) {
        return false;
    }
    --staleMessages;
    return true;
}

bool TransferControl::Dispatch(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (message != WM_TRANSFER_STATE && message != WM_TRANSFER_ERROR && message != WM_RECEIVE_ERROR &&
        message != kWmCommNotify) {
        return false;
    }
    if (DropStale()) {
        return true; // a message of an earlier transfer
    }
    unsigned id = static_cast<unsigned>(wParam);
    uint32_t argument = static_cast<uint32_t>(lParam);
    switch (message) {
    case WM_TRANSFER_STATE:
        OnTransferState(id, argument);
        break;
    case WM_TRANSFER_ERROR:
        OnTransferError(id, argument);
        break;
    case WM_RECEIVE_ERROR:
        OnReceiveError(id, argument);
        break;
    default:
        OnCommNotify(static_cast<uint32_t>(wParam));
        break;
    }
    return true;
}

void TransferControl::EndTransfer() {
    StopSession();
    owner.ShowPortSummary();
    owner.SetStartButtonText(catalogue.LoadText(IDS_START_TRANSFER));
    if (options.batchMode) {
        owner.PostClose();
    }
}

void TransferControl::AbortTransfer(const std::string& text) {
    completed = false;
    RecordEnding(TransferEnding::Result::Cancelled, IDS_CANCELLED_BY_USER, 0);
    owner.AddTraceLine(text);
    owner.AddTraceLine(catalogue.LoadText(IDS_DOWNLOAD_ABORTED));
    owner.SetStartButtonText(catalogue.LoadText(IDS_START_TRANSFER));
    StopSession();
    owner.ShowPortSummary();
    if (options.batchMode) {
        owner.PostClose();
    }
}

void TransferControl::TrackPhase(unsigned id) {
    switch (id) {
    case IDS_CONNECTING:
        phase = TransferEnding::Phase::Connecting;
        break;
    case IDS_CONNECTED:
        phase = TransferEnding::Phase::Boot;
        break;
    case IDS_TRANSMITTING_PROGRAM:
        phase = TransferEnding::Phase::Program;
        break;
    case IDS_DOWNLOAD_COMPLETED:
        phase = TransferEnding::Phase::StepDone;
        break;
    default:
        break;
    }
}

bool TransferControl::RecordEnding(TransferEnding::Result result, unsigned id, uint32_t code,
                                   const std::string& argument) {
    if (ending.result != TransferEnding::Result::None) {
        return false;
    }
    ending.result = result;
    ending.id = id;
    ending.code = code;
    ending.argument = argument;
    ending.step = handledStep;
    ending.stepStarted = connectingSeen;
    ending.phase = phase;
    return true;
}

// A start that cannot go on: the message is the run's final message.
void TransferControl::Refuse(unsigned id, uint32_t code, const std::string& argument,
                             const std::string& text) {
    if (RecordEnding(TransferEnding::Result::Refused, id, code, argument) && id == 0) {
        ending.plainText = text;
    }
    ReportMessage(text);
}

void TransferControl::ReportMessage(const std::string& text) {
    completed = false;
    owner.WriteLogFile(&text);
    if (options.batchMode) {
        owner.PostClose();
    } else {
        owner.ShowMessage(text);
    }
}
