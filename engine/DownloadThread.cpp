#include "app/MessageIds.h"
#include "engine/TransferSession.h"

#include <cstring>

namespace {

constexpr uint32_t kBootImageSize = 960;
constexpr uint32_t kZeroByteWriteLimitMs = 1000;

// A file of the platform, closed when it goes.
class ScopedFile {
public:
    ScopedFile(IEnginePlatform& platform, OsHandle file) : platform(platform), file(file) {}
    ~ScopedFile() {
        if (file != nullptr) {
            platform.CloseHandle(file);
        }
    }
    ScopedFile(const ScopedFile&) = delete;
    ScopedFile& operator=(const ScopedFile&) = delete;
    OsHandle Get() const { return file; }

private:
    IEnginePlatform& platform;
    OsHandle file;
};

// Carries out the loading steps: for each step the connect, boot-loader and program-file
// phases. Every wait puts the stop event first, so a stop wins over anything signalled with it.
class DownloadThread {
public:
    DownloadThread(TransferSession& session, OsHandle port, IIoSlot& slot)
        : session(session), platform(*session.platform), port(port), slot(slot) {}

    void Run();

private:
    int32_t State() const { return session.downloadState; }
    void SetState(int32_t state) { session.downloadState = state; }
    bool Over() const { return State() == Ended || State() == Failed; }
    uint32_t Wait(OsHandle second, uint32_t timeoutMs) {
        return platform.WaitForTwo(session.stopEvent.Get(), second, timeoutMs);
    }
    // The thread writes through its own handle of the port, which a stop does not close: a stop
    // that came while it was busy between waits (reading a file, or just after a wait ended
    // with a time-out or an acknowledge) is polled for before anything more goes out.
    bool StoppedBeforeWrite() {
        if (Wait(session.ackEvent.Get(), 0) != kWaitObject0) {
            return false;
        }
        SetState(Ended);
        return true;
    }

    void RunStep(LoadingStep& step);
    void ConnectPhase(const LoadingStep& step);
    void SendZeroByte();
    void BootPhase(const LoadingStep& step);
    void SendBootImage(const LoadingStep& step);
    void ProgramPhase(LoadingStep& step);
    void CheckStructure(OsHandle file, uint32_t size, LoadingStep& step);
    void SendBlocks(OsHandle file, uint32_t size, const LoadingStep& step);
    bool ReadBlock(OsHandle file, uint32_t& length);
    void SendBlock(uint32_t length, uint32_t remaining, const LoadingStep& step);

    TransferSession& session;
    IEnginePlatform& platform;
    OsHandle port;
    IIoSlot& slot;
};

void DownloadThread::Run() {
    LoadingStep* step = session.CurrentStep();
    while (step != nullptr && !Over()) {
        RunStep(*step);
        // The cursor moves on after every step, a failed one included.
        step = session.NextStep();
    }
    if (State() == StepCompleted) {
        session.NotifyState(Ended, 0);
    }
}

void DownloadThread::RunStep(LoadingStep& step) {
    ConnectPhase(step);
    if (State() == Connected) {
        BootPhase(step);
    }
    if (State() == BootFileDone) {
        ProgramPhase(step);
    }
}

// Single 0x00 bytes until the step's acknowledge comes back or the attempts are used up.
// The acknowledge event is not reset between attempts: a late acknowledge still counts.
void DownloadThread::ConnectPhase(const LoadingStep& step) {
    session.NotifyState(Connecting, 0);
    // The new byte is awaited before the event is cleared, as in the other phases: a late
    // answer of the last phase that arrives in between must not count as the connect.
    session.expectedAck = step.connectAck;
    platform.ResetEvent(session.ackEvent.Get());
    session.connectAttempts = 0;
    while (!Over() && State() != Connected) {
        if (StoppedBeforeWrite()) {
            break;
        }
        uint32_t attempt = ++session.connectAttempts;
        session.NotifyState(SendingZeroByte, attempt);
        if (attempt > session.maxConnectRetries) {
            session.ReportTransferError(IDS_NO_ACK_TIMEOUT, session.maxConnectRetries);
            break;
        }
        SendZeroByte();
        if (State() != WaitingConnectAck) {
            continue;
        }
        uint32_t result = Wait(session.ackEvent.Get(), step.connectAckTimeoutMs);
        if (result == kWaitObject0) {
            SetState(Ended);
        } else if (result == kWaitObject1) {
            session.NotifyState(Connected, 0);
        } else if (result != kWaitTimeout) {
            session.ReportTransferError(IDS_ERROR_WAITING_ACK0, result);
        }
    }
}

void DownloadThread::SendZeroByte() {
    slot.Buffer()[0] = 0x00;
    uint32_t error = 0;
    switch (platform.WriteFile(port, slot, 1, error)) {
    case IoStart::Done:
        SetState(WaitingConnectAck);
        break;
    case IoStart::Pending: {
        SetState(WaitingZeroByteSent);
        uint32_t result = Wait(slot.CompletionEvent(), kZeroByteWriteLimitMs);
        if (result == kWaitObject0) {
            SetState(Ended);
        } else if (result == kWaitObject1) {
            SetState(WaitingConnectAck);
        } else {
            session.ReportTransferError(IDS_FAILED_ZERO_BYTES, result);
        }
        break;
    }
    case IoStart::Failed:
        session.downloadError = error;
        session.ReportTransferError(IDS_FAILED_ZERO_BYTES, error);
        break;
    }
}

// The boot-loader file goes out as one 960-byte image: its bytes, then 0xFF up to 960.
void DownloadThread::BootPhase(const LoadingStep& step) {
    SetState(ReadingBootFile);
    uint8_t* image = slot.Buffer();
    std::memset(image, 0xFF, kBootImageSize);
    uint32_t error = 0;
    ScopedFile file(platform, platform.OpenFileForReading(step.bootFile, error));
    if (file.Get() == nullptr) {
        session.PostTransferError(IDS_FAILED_OPEN_BIN, error);
        return;
    }
    uint32_t size = platform.FileSize(file.Get());
    if (size > kBootImageSize) {
        session.ReportTransferError(IDS_BIN_TOO_LARGE, size);
        return;
    }
    uint32_t bytesRead = 0;
    if (!platform.ReadFileSync(file.Get(), image, IIoSlot::kBufferSize, bytesRead, error)) {
        session.downloadError = error;
        session.ReportTransferError(IDS_ERROR_READING_BIN, error);
        return;
    }
    if (bytesRead != size) {
        // A short read would send a corrupted image padded with 0xFF.
        session.ReportTransferError(IDS_ERROR_READING_BIN, 0);
        return;
    }
    if (bytesRead < kBootImageSize) {
        std::memset(image + bytesRead, 0xFF, kBootImageSize - bytesRead);
    }
    SendBootImage(step);
}

void DownloadThread::SendBootImage(const LoadingStep& step) {
    session.expectedAck = step.bootAck;
    platform.ResetEvent(session.ackEvent.Get());
    if (StoppedBeforeWrite()) {
        return;
    }
    SetState(SendingBootFile);
    uint32_t error = 0;
    switch (platform.WriteFile(port, slot, kBootImageSize, error)) {
    case IoStart::Done:
        SetState(WaitingBootAck);
        break;
    case IoStart::Pending: {
        SetState(WaitingBootFileSent);
        uint32_t result = Wait(slot.CompletionEvent(), step.writeMsPerByte * kBootImageSize);
        if (result == kWaitObject0) {
            SetState(Ended);
        } else if (result == kWaitObject1) {
            uint32_t written = 0;
            platform.GetOverlappedResult(port, slot, written, error);
            SetState(WaitingBootAck);
        } else {
            session.ReportTransferError(IDS_FAILED_SENDING_BIN, result);
        }
        break;
    }
    case IoStart::Failed:
        session.downloadError = error;
        session.ReportTransferError(IDS_ERROR_SENDING_BIN, error);
        break;
    }
    if (State() != WaitingBootAck) {
        return;
    }
    uint32_t result = Wait(session.ackEvent.Get(), step.bootAckTimeoutMs);
    if (result == kWaitObject0) {
        SetState(Ended);
    } else if (result == kWaitObject1) {
        session.NotifyState(BootFileDone, 0);
    } else if (result == kWaitTimeout) {
        session.ReportTransferError(IDS_NO_ACK_1, kWaitTimeout);
    } else {
        session.ReportTransferError(IDS_UNEXPECTED_FAILURE, result);
    }
}

// The program file: its block structure is checked as a whole before the first block goes.
void DownloadThread::ProgramPhase(LoadingStep& step) {
    session.NotifyState(SendingProgramFile, 0);
    uint32_t error = 0;
    ScopedFile file(platform, platform.OpenFileForReading(step.firmwareFile, error));
    if (file.Get() == nullptr) {
        session.PostTransferError(IDS_FAILED_OPEN_B86, error);
        return;
    }
    uint32_t size = platform.FileSize(file.Get());
    step.blockCount = 0;
    CheckStructure(file.Get(), size, step);
    if (State() == Failed) {
        return;
    }
    platform.RewindFile(file.Get());
    session.expectedAck = step.blockAck;
    SendBlocks(file.Get(), size, step);
}

// Blocks of L + 5 bytes (length byte L, then L + 4 bytes) that fill the file exactly.
void DownloadThread::CheckStructure(OsHandle file, uint32_t size, LoadingStep& step) {
    uint8_t* buffer = slot.Buffer();
    uint32_t position = 0;
    while (State() != Failed && position < size) {
        uint32_t bytesRead = 0;
        uint32_t error = 0;
        if (!platform.ReadFileSync(file, buffer, 1, bytesRead, error) || bytesRead != 1) {
            session.ReportTransferError(IDS_INVALID_B86_FORMAT, 0);
            break;
        }
        uint32_t blockLength = buffer[0] + 5u;
        if (blockLength > size - position ||
            !platform.ReadFileSync(file, buffer + 1, blockLength - 1, bytesRead, error) ||
            bytesRead != blockLength - 1) {
            session.ReportTransferError(IDS_INVALID_B86_FORMAT, 0);
            break;
        }
        step.blockCount = step.blockCount + 1;
        position += blockLength;
    }
}

void DownloadThread::SendBlocks(OsHandle file, uint32_t size, const LoadingStep& step) {
    uint32_t blockNumber = 0;
    uint32_t remaining = size;
    while (!Over() && State() != StepCompleted) {
        SetState(ReadingBlock);
        uint32_t length = 0;
        if (!ReadBlock(file, length)) {
            break;
        }
        remaining = length > remaining ? 0 : remaining - length;
        ++blockNumber;
        session.NotifyState(SendingBlock, blockNumber);
        SendBlock(length, remaining, step);
    }
}

// Reads one block into the buffer; `length` is the whole block, L + 5 bytes.
bool DownloadThread::ReadBlock(OsHandle file, uint32_t& length) {
    uint8_t* buffer = slot.Buffer();
    uint32_t bytesRead = 0;
    uint32_t error = 0;
    if (!platform.ReadFileSync(file, buffer, 1, bytesRead, error)) {
        session.downloadError = error;
        session.ReportTransferError(IDS_ERROR_READING_B86, error);
        return false;
    }
    if (bytesRead < 1) {
        session.ReportTransferError(IDS_ERROR_READING_B86, 0);
        return false;
    }
    uint32_t bodyLength = buffer[0] + 4u;
    if (!platform.ReadFileSync(file, buffer + 1, bodyLength, bytesRead, error)) {
        session.downloadError = error;
        session.ReportTransferError(IDS_ERROR_READING_B86, error);
        return false;
    }
    if (bytesRead < bodyLength) {
        session.ReportTransferError(IDS_ERROR_READING_B86, 0);
        return false;
    }
    length = bodyLength + 1;
    return true;
}

void DownloadThread::SendBlock(uint32_t length, uint32_t remaining, const LoadingStep& step) {
    platform.ResetEvent(session.ackEvent.Get());
    if (StoppedBeforeWrite()) {
        return;
    }
    uint32_t error = 0;
    switch (platform.WriteFile(port, slot, length, error)) {
    case IoStart::Done:
        SetState(WaitingBlockAck);
        break;
    case IoStart::Pending: {
        SetState(WaitingBlockSent);
        uint32_t result = Wait(slot.CompletionEvent(), step.writeMsPerByte * length);
        if (result == kWaitObject0) {
            SetState(Ended);
        } else if (result == kWaitObject1) {
            uint32_t written = 0;
            platform.GetOverlappedResult(port, slot, written, error);
            SetState(WaitingBlockAck);
        } else if (result == kWaitTimeout) {
            session.ReportTransferError(IDS_ERROR_TRANSMITTING_B86, kWaitTimeout);
        } else {
            session.ReportTransferError(IDS_UNEXPECTED_FAILURE, result);
        }
        break;
    }
    case IoStart::Failed:
        session.downloadError = error;
        session.ReportTransferError(IDS_ERROR_TRANSMITTING_B86, error);
        break;
    }
    if (State() != WaitingBlockAck) {
        return;
    }
    uint32_t result = Wait(session.ackEvent.Get(), step.blockAckTimeoutMs);
    if (result == kWaitObject0) {
        SetState(Ended);
    } else if (result == kWaitObject1) {
        if (remaining == 0) {
            session.NotifyState(StepCompleted, 0);
        }
    } else if (result == kWaitTimeout) {
        session.ReportTransferError(IDS_NO_ACK_2, kWaitTimeout);
    } else {
        session.ReportTransferError(IDS_UNEXPECTED_FAILURE, result);
    }
}

} // namespace

void DownloadThreadProc(TransferSession& session, OsHandle port) {
    std::unique_ptr<IIoSlot> slot = session.platform->CreateIoSlot();
    DownloadThread(session, port, *slot).Run();
    ReleaseSlot(*session.platform, port, std::move(slot));
}
