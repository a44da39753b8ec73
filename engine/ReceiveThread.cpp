#include "app/MessageIds.h"
#include "engine/TransferSession.h"

namespace {

constexpr uint32_t kReadSize = 1024;

// The only reader of the port: waits for communication events, reads what arrived, sets the
// acknowledge event for acknowledge bytes and queues every other byte for the owner.
class ReceiveThread {
public:
    ReceiveThread(TransferSession& session, OsHandle port, IIoSlot& slot)
        : session(session), platform(*session.platform), port(port), slot(slot) {}

    void Run() {
        while (State() != RxStopped && State() != RxFailed) {
            Iterate();
        }
    }

private:
    int32_t State() const { return session.receiveState; }
    void SetState(int32_t state) { session.receiveState = state; }
    uint32_t Wait(OsHandle second, uint32_t timeoutMs) {
        return platform.WaitForTwo(session.stopEvent.Get(), second, timeoutMs);
    }
    void Fail(int32_t site, uint32_t code) {
        session.rxErrorSite = site;
        session.ReportReceiveError(IDS_RECEIVE_THREAD_ERROR, code);
    }

    void Iterate();
    void WaitForEvent();
    void ReadData(uint32_t& bytesRead);
    bool SortBytes(uint32_t bytesRead);
    void Notify();

    TransferSession& session;
    IEnginePlatform& platform;
    OsHandle port;
    IIoSlot& slot;
};

void ReceiveThread::Iterate() {
    SetState(RxArming);
    uint32_t bytesRead = 0;
    WaitForEvent();
    if (State() == RxEventArrived && slot.EventMask() != 0) {
        if ((slot.EventMask() & kEvRxChar) == 0) {
            // A line error or break without data.
            session.ReportReceiveError(IDS_TRANSMISSION_ERROR, slot.EventMask());
        } else {
            ReadData(bytesRead);
        }
    }
    bool stored = State() == RxDataRead && bytesRead > 0 && SortBytes(bytesRead);
    if (stored) {
        Notify();
    }
}

void ReceiveThread::WaitForEvent() {
    if (session.portHandle.load() == nullptr) {
        SetState(RxStopped);
        return;
    }
    uint32_t error = 0;
    switch (platform.WaitCommEvent(port, slot, error)) {
    case IoStart::Done:
        SetState(RxEventArrived);
        return;
    case IoStart::Failed:
        session.receiveError = error;
        Fail(kSiteWaitCommEvent, error);
        return;
    case IoStart::Pending:
        break;
    }
    session.receiveError = kErrorIoPending;
    SetState(RxWaitingEvent);
    uint32_t result = Wait(slot.CompletionEvent(), kInfinite);
    if (result == kWaitObject0) {
        SetState(RxStopped);
    } else if (result == kWaitObject1) {
        SetState(RxEventArrived);
        uint32_t bytes = 0;
        if (!platform.GetOverlappedResult(port, slot, bytes, error)) {
            session.receiveError = error;
            Fail(kSiteWaitEventResult, error);
        }
    } else {
        Fail(kSiteWaitEventWait, result);
    }
}

void ReceiveThread::ReadData(uint32_t& bytesRead) {
    SetState(RxReading);
    uint32_t error = 0;
    switch (platform.ReadFile(port, slot, kReadSize, bytesRead, error)) {
    case IoStart::Done:
        SetState(RxDataRead);
        return;
    case IoStart::Failed:
        session.receiveError = error;
        Fail(kSiteReadFile, error);
        return;
    case IoStart::Pending:
        break;
    }
    session.receiveError = kErrorIoPending;
    SetState(RxReadPending);
    uint32_t result = Wait(slot.CompletionEvent(), kInfinite);
    if (result == kWaitObject0) {
        SetState(RxStopped);
    } else if (result == kWaitObject1) {
        SetState(RxDataRead);
        if (!platform.GetOverlappedResult(port, slot, bytesRead, error)) {
            session.receiveError = error;
            Fail(kSiteReadResult, error);
        }
    } else {
        Fail(kSiteReadWait, result);
    }
}

// Acknowledge bytes release the download thread and are not stored; every other byte goes
// into the ring, which reports an overflow instead of overwriting. True when a byte was stored.
bool ReceiveThread::SortBytes(uint32_t bytesRead) {
    const uint8_t* data = slot.Buffer();
    bool stored = false;
    for (uint32_t i = 0; i < bytesRead; ++i) {
        uint8_t byte = data[i];
        if (byte == session.expectedAck.load() || byte == session.alternateAck) {
            platform.SetEvent(session.ackEvent.Get());
            continue;
        }
        uint32_t write = session.rxWrite.load(std::memory_order_relaxed);
        uint32_t next = write + 1 == TransferSession::kRingSize ? 0 : write + 1;
        if (next == session.rxRead.load(std::memory_order_acquire)) {
            session.ReportReceiveError(IDS_RECEIVE_OVERFLOW, 0);
            break;
        }
        session.rxRing[write] = byte;
        session.rxWrite.store(next, std::memory_order_release);
        stored = true;
    }
    return stored;
}

// At most one notification is outstanding: a poll of the notify event decides.
void ReceiveThread::Notify() {
    SetState(RxNotifying);
    uint32_t result = Wait(session.notifyEvent.Get(), 0);
    if (result == kWaitObject0) {
        SetState(RxStopped);
    } else if (result == kWaitObject1) {
        platform.ResetEvent(session.notifyEvent.Get());
        session.PostToOwner(kWmCommNotify, kEvRxChar, 0);
    } else if (result != kWaitTimeout) {
        session.receiveError = platform.LastError();
        Fail(kSiteNotifyPoll, session.receiveError);
    }
}

} // namespace

void ReceiveThreadProc(TransferSession& session, OsHandle port) {
    std::unique_ptr<IIoSlot> slot = session.platform->CreateIoSlot();
    ReceiveThread(session, port, *slot).Run();
    ReleaseSlot(*session.platform, port, std::move(slot));
}
