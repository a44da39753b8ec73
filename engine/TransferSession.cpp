#include "engine/TransferSession.h"

#include "app/MessageIds.h"

namespace {

// The message id that announces a state; 0 for the silent states.
unsigned AnnouncedId(int32_t state) {
    switch (state) {
    case Connecting:
        return IDS_CONNECTING;
    case Ended:
        return IDS_DOWNLOAD_FINALLY_COMPLETED;
    case SendingZeroByte:
        return IDS_TRANSMITTING_ZERO_BYTE;
    case Connected:
        return IDS_CONNECTED;
    case BootFileDone:
        return IDS_BIN_TRANSMITTED;
    case SendingProgramFile:
        return IDS_TRANSMITTING_PROGRAM;
    case SendingBlock:
        return IDS_BLOCK_OF;
    case StepCompleted:
        return IDS_DOWNLOAD_COMPLETED;
    default:
        return 0;
    }
}

} // namespace

TransferSession::TransferSession(std::shared_ptr<IEnginePlatform> platformIn, OsHandle ownerWindow,
                                 bool dryRun)
    : platform(std::move(platformIn)), ownerWindow(ownerWindow), dryRun(dryRun),
      stopEvent(*platform, platform->CreateManualEvent(false)),
      ackEvent(*platform, platform->CreateManualEvent(false)),
      notifyEvent(*platform, platform->CreateManualEvent(true)) {}

void TransferSession::PostToOwner(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (platform->PostToWindow(ownerWindow, message, wParam, lParam)) {
        ++postedMessages;
    }
}

void TransferSession::NotifyState(int32_t state, uint32_t argument) {
    if (state == Connecting && dryRun) {
        // A dry run reports the completion where the first connect would begin.
        downloadState = Ended;
        PostToOwner(WM_TRANSFER_STATE, IDS_DOWNLOAD_FINALLY_COMPLETED, 0);
        return;
    }
    downloadState = state;
    if (unsigned id = AnnouncedId(state)) {
        bool carriesArgument = state == SendingZeroByte || state == SendingBlock;
        PostToOwner(WM_TRANSFER_STATE, id, carriesArgument ? static_cast<intptr_t>(argument) : 0);
    }
}

void TransferSession::ReportTransferError(unsigned id, uint32_t code) {
    downloadState = Failed;
    PostToOwner(WM_TRANSFER_ERROR, id, static_cast<intptr_t>(code));
}

void TransferSession::PostTransferError(unsigned id, uint32_t code) {
    downloadState = Failed;
    downloadError = code;
    PostToOwner(WM_TRANSFER_ERROR, id, static_cast<intptr_t>(code));
}

void TransferSession::ReportReceiveError(unsigned id, uint32_t code) {
    receiveState = RxFailed;
    PostToOwner(WM_RECEIVE_ERROR, id, static_cast<intptr_t>(code));
}

LoadingStep* TransferSession::CurrentStep() {
    return cursor < steps.size() ? &steps[cursor] : nullptr;
}

LoadingStep* TransferSession::NextStep() {
    if (cursor < steps.size()) {
        ++cursor;
    }
    return CurrentStep();
}

LoadingStep* TransferSession::StepAt(size_t index) {
    return index < steps.size() ? &steps[index] : nullptr;
}

void TransferSession::SetSteps(const std::vector<std::unique_ptr<LoadingStep>>& source) {
    steps.clear();
    for (const auto& step : source) {
        steps.push_back(*step);
        steps.back().blockCount = 0;
    }
    cursor = 0;
}

void ReleaseSlot(IEnginePlatform& platform, OsHandle port, std::unique_ptr<IIoSlot> slot) {
    if (!platform.ReleaseIo(port, *slot)) {
        static_cast<void>(slot.release());
    }
}
