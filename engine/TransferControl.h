#pragma once

#include "app/Catalogue.h"
#include "config/Configuration.h"
#include "engine/TransferEnding.h"
#include "engine/TransferSession.h"

#include <memory>
#include <string>

// What the session needs from the window that owns it: the message list, the controls a
// transfer changes, the selected configuration, message boxes, the log and closing.
class ISessionOwner {
public:
    virtual ~ISessionOwner() = default;

    // The message list.
    virtual void AddTraceLine(const std::string& text) = 0;
    virtual void UpdateTraceLine(const std::string& text) = 0;
    virtual int TraceLineCount() = 0;
    virtual std::string TraceLine(int index) = 0;
    virtual void DeleteTraceLine(int index) = 0;
    virtual void ResetTraceLines() = 0;
    // Which lines are final, for an owner that records them as they come. Every added line is
    // final once the next line comes, except that a line added as pending (the latest 0-byte
    // attempt, which the next attempt replaces) may be deleted first; device output that
    // UpdateTraceLine grows is final when its line end arrives (EndTraceLine) or the next
    // line comes.
    virtual void AddPendingTraceLine(const std::string& text) { AddTraceLine(text); }
    virtual void EndTraceLine() {}

    // Controls.
    virtual void SetPortSummaryText(const std::string& text) = 0;
    virtual void ShowPortSummary() = 0; // rewrites the summary from the port settings
    virtual void SetStartButtonText(const std::string& text) = 0;
    virtual void SetListLabel(const std::string& text) = 0;
    virtual void SetDisplayMode(bool messages) = 0;
    // Disables the configuration list and the Interface button for a transfer.
    virtual void DisableConfigurationControls() = 0;
    // Enables them again, and the steps list when it shows.
    virtual void EnableConfigurationControls() = 0;

    virtual Configuration* SelectedConfiguration() = 0;
    virtual std::string PortName() = 0;
    virtual PortSettings LineSettings() = 0;

    // Outcome.
    virtual void ShowMessage(const std::string& text) = 0; // a box with an OK button
    virtual bool AskYesNo(const std::string& text, const std::string& caption) = 0;
    virtual void WriteLogFile(const std::string* finalMessage) = 0;
    virtual void PostClose() = 0;
};

struct TransferOptions {
    bool batchMode = false;
    bool dryRun = false;
    uint32_t maxConnectRetries = 30;
};

// The user-interface side of a transfer: start and cancel, stop, and the handlers that turn
// the worker threads' messages into lines of the message list. Runs on one thread only.
class TransferControl {
public:
    TransferControl(ISessionOwner& owner, const ITextCatalogue& catalogue,
                    std::shared_ptr<IEnginePlatform> platform, OsHandle ownerWindow,
                    const TransferOptions& options);
    ~TransferControl();
    TransferControl(const TransferControl&) = delete;
    TransferControl& operator=(const TransferControl&) = delete;

    void StartOrCancel();
    void StopSession();
    // Waits at most `timeoutMs` for the threads of the last transfer to end; false when one is
    // still running (it holds the session and its own handle of the port as long as it runs).
    bool ThreadsEnded(uint32_t timeoutMs);
    bool IsRunning() const { return session->portHandle.load() != nullptr; }

    // Handlers of the posted messages.
    void OnTransferState(unsigned id, uint32_t argument);
    void OnTransferError(unsigned id, uint32_t code);
    void OnReceiveError(unsigned id, uint32_t code);
    void OnCommNotify(uint32_t events);
    // Dispatches one posted message; false when it is none of the session's.
    bool Dispatch(uint32_t message, uintptr_t wParam, intptr_t lParam);

    void EndTransfer();
    void AbortTransfer(const std::string& text);
    void ReportMessage(const std::string& text);

    // True once a run ended with the final completion line and nothing went wrong after it.
    bool Completed() const { return completed; }
    // How the last transfer (or its refused start) ended.
    const TransferEnding& Ending() const { return ending; }
    TransferSession& Session() { return *session; }
    // The step that the last handled message concerned, and its place (from 0).
    const LoadingStep* StepConcerned();
    size_t StepIndex() const { return handledStep; }

private:
    uint32_t LiveThreads(OsHandle (&threads)[2]) const;
    void StopThreads();
    bool PreviousThreadsEnded();
    bool CheckConfiguration(Configuration*& configuration);
    bool OpenAndConfigurePort();
    void PrepareSession(const Configuration& configuration);
    bool StartThreads();
    bool DropStale();
    void TrackPhase(unsigned id);
    bool RecordEnding(TransferEnding::Result result, unsigned id, uint32_t code,
                      const std::string& argument = std::string());
    void Refuse(unsigned id, uint32_t code, const std::string& argument, const std::string& text);

    ISessionOwner& owner;
    const ITextCatalogue& catalogue;
    std::shared_ptr<IEnginePlatform> platform;
    TransferOptions options;
    std::shared_ptr<TransferSession> session;
    // The step a message concerns: the download thread announces each step with "Connecting"
    // before it posts anything else about it, and posted messages arrive in order.
    size_t handledStep = 0;
    bool connectingSeen = false;
    TransferEnding::Phase phase = TransferEnding::Phase::None;
    bool completed = false;
    TransferEnding ending;
    // The session's messages reach the owner in the order they were posted. Those of an
    // earlier transfer that are still queued when a transfer starts are dropped: all of them
    // were posted before the start, as the threads that posted them have ended.
    uint64_t dispatchedMessages = 0;
    uint64_t staleMessages = 0;
};
