#pragma once

#include "config/Configuration.h"
#include "engine/EnginePlatform.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Window messages from the worker threads to the session's owner (posted, never sent).
constexpr uint32_t WM_TRANSFER_STATE = 0x0407; // WM_USER + 7: message id / argument
constexpr uint32_t WM_RECEIVE_ERROR = 0x0408;  // WM_USER + 8: message id / code
constexpr uint32_t WM_TRANSFER_ERROR = 0x0409; // WM_USER + 9: message id / code
constexpr uint32_t kWmCommNotify = 0x0044;     // WM_COMMNOTIFY: EV_RXCHAR / 0, drain the receive ring

enum DownloadState : int32_t {
    Connecting = 0,
    Ended = 1,
    Failed = 2,
    SendingZeroByte = 3,
    WaitingZeroByteSent = 4,
    WaitingConnectAck = 5,
    Connected = 6,
    ReadingBootFile = 7,
    SendingBootFile = 8,
    WaitingBootFileSent = 9,
    WaitingBootAck = 10,
    BootFileDone = 11,
    SendingProgramFile = 12,
    ReadingBlock = 13,
    SendingBlock = 14,
    WaitingBlockSent = 15,
    WaitingBlockAck = 16,
    StepCompleted = 17,
};

enum ReceiveState : int32_t {
    RxIdle = 0,
    RxStopped = 1,
    RxFailed = 2,
    RxArming = 3,
    RxWaitingEvent = 4,
    RxEventArrived = 5,
    RxReading = 6,
    RxReadPending = 7,
    RxDataRead = 8,
    RxNotifying = 9,
};

// Sites of the receive thread's errors, shown after report 152.
enum ReceiveErrorSite : int32_t {
    kSiteNone = -1,
    kSiteWaitCommEvent = 122,
    kSiteWaitEventResult = 145,
    kSiteWaitEventWait = 152,
    kSiteReadFile = 181,
    kSiteReadResult = 207,
    kSiteReadWait = 213,
    kSiteNotifyPoll = 281,
};

// The record a transfer shares between the user-interface thread and the two worker threads.
// Each member has one writer while a transfer runs; there are no locks. The worker threads
// hold the session by shared ownership, so it outlives the owner if a thread is slow to end.
class TransferSession {
public:
    static constexpr uint32_t kRingSize = 4096; // one slot always stays free
    static constexpr uint8_t kAlternateAck = 0xD5;

    TransferSession(std::shared_ptr<IEnginePlatform> platform, OsHandle ownerWindow, bool dryRun);
    TransferSession(const TransferSession&) = delete;
    TransferSession& operator=(const TransferSession&) = delete;

    // Operations of the worker threads: they store the state and post to the owner.
    void NotifyState(int32_t state, uint32_t argument);
    void ReportTransferError(unsigned id, uint32_t code);
    void ReportReceiveError(unsigned id, uint32_t code);
    // The error posts of the download thread that set Failed without ReportTransferError.
    void PostTransferError(unsigned id, uint32_t code);
    // Every message of the session goes through here, so that the owner knows how many of
    // them it has still to handle (postedMessages).
    void PostToOwner(uint32_t message, uintptr_t wParam, intptr_t lParam);

    // The steps of the running transfer, taken from the selected configuration at its start.
    // The download thread walks them; the owner looks up the step a message concerns.
    LoadingStep* CurrentStep();
    LoadingStep* NextStep();
    LoadingStep* StepAt(size_t index);
    void SetSteps(const std::vector<std::unique_ptr<LoadingStep>>& source);

    const std::shared_ptr<IEnginePlatform> platform;
    const OsHandle ownerWindow;
    const bool dryRun;

    std::atomic<OsHandle> portHandle{nullptr};
    ScopedHandle stopEvent;
    ScopedHandle receiveThread;
    uint32_t receiveThreadId = 0;
    std::atomic<int32_t> receiveState{RxIdle};
    uint8_t rxRing[kRingSize] = {};
    std::atomic<uint32_t> rxRead{0};
    std::atomic<uint32_t> rxWrite{0};
    std::atomic<uint32_t> receiveError{0};
    const uint8_t alternateAck = kAlternateAck;
    std::atomic<uint8_t> expectedAck{0x11};
    ScopedHandle ackEvent;
    ScopedHandle notifyEvent;
    std::string rxLine;
    uint32_t maxConnectRetries = 30;
    std::atomic<uint32_t> connectAttempts{0};
    std::atomic<int32_t> rxErrorSite{kSiteNone};
    ScopedHandle downloadThread;
    uint32_t downloadThreadId = 0;
    std::atomic<int32_t> downloadState{Connecting};
    std::atomic<uint32_t> downloadError{0};
    std::atomic<uint64_t> postedMessages{0}; // messages of this session in the owner's queue so far

private:
    std::vector<LoadingStep> steps;
    size_t cursor = 0; // steps.size() stands for none
};

// Lets go of a thread's I/O slot at its end; a slot the system still holds for a pending
// operation is kept for good rather than freed under its hands.
void ReleaseSlot(IEnginePlatform& platform, OsHandle port, std::unique_ptr<IIoSlot> slot);

// The thread procedures. `port` is the thread's own handle of the session's port.
void DownloadThreadProc(TransferSession& session, OsHandle port);
void ReceiveThreadProc(TransferSession& session, OsHandle port);
