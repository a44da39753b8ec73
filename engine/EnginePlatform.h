#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The operating system as the download engine sees it: events, waits, overlapped port I/O,
// synchronous file reads, threads and posted window messages. The Windows implementation
// makes exactly the Win32 calls the engine's algorithms name; a fake in the tests scripts
// completions, acknowledges, time-outs, failures and stops without real time passing.
//
// One error model: operations that can fail hand back the system's error code (a Win32
// GetLastError value); waits hand back the Win32 wait result.

using OsHandle = void*; // an event, port, file, thread or window of the platform

constexpr uint32_t kWaitObject0 = 0;         // WAIT_OBJECT_0: the first handle
constexpr uint32_t kWaitObject1 = 1;         // WAIT_OBJECT_0 + 1: the second handle
constexpr uint32_t kWaitTimeout = 258;       // WAIT_TIMEOUT
constexpr uint32_t kWaitFailed = 0xFFFFFFFF; // WAIT_FAILED
constexpr uint32_t kInfinite = 0xFFFFFFFF;   // INFINITE
constexpr uint32_t kErrorIoPending = 997;    // ERROR_IO_PENDING
constexpr uint32_t kErrorOperationAborted = 995;
constexpr uint32_t kErrorIoIncomplete = 996; // ERROR_IO_INCOMPLETE

constexpr uint32_t kEvRxChar = 0x0001; // EV_RXCHAR
constexpr uint32_t kEvBreak = 0x0040;  // EV_BREAK
constexpr uint32_t kEvErr = 0x0080;    // EV_ERR

// The start of an overlapped operation.
enum class IoStart {
    Done,    // completed at once
    Pending, // ERROR_IO_PENDING: completes through the slot's event
    Failed,  // failed with the code handed back
};

// One thread's OVERLAPPED structure with its manual-reset completion event and the memory
// the system may still write into while an operation is pending (a data buffer and the
// event mask of WaitCommEvent). A slot whose operation could not be cancelled is kept alive
// rather than freed under the system's hands.
class IIoSlot {
public:
    static constexpr uint32_t kBufferSize = 4096;
    virtual ~IIoSlot() = default;
    virtual OsHandle CompletionEvent() const = 0;
    virtual uint8_t* Buffer() = 0;
    // Filled by a completed WaitCommEvent.
    virtual uint32_t EventMask() const = 0;
};

// The fixed line settings of a transfer, copied into the port's device control block.
struct PortSettings {
    uint32_t baudRate = 38400;
    uint8_t dataSize = 8;
    uint8_t parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stopBits = 0; // 0 one, 1 one and a half, 2 two
};

// The five port set-up calls, in the order they are made; each can fail with its own text.
enum class PortSetupCall { SetCommMask, SetupComm, PurgeComm, SetCommTimeouts, SetCommState, None };

class IEnginePlatform {
public:
    virtual ~IEnginePlatform() = default;

    // Events (CreateEventA with manual reset), SetEvent, ResetEvent, CloseHandle.
    virtual OsHandle CreateManualEvent(bool signalled) = 0;
    virtual void SetEvent(OsHandle event) = 0;
    virtual void ResetEvent(OsHandle event) = 0;
    virtual void CloseHandle(OsHandle handle) = 0;

    // WaitForMultipleObjects on {first, second} with bWaitAll FALSE: first wins when both are
    // signalled. Returns kWaitObject0, kWaitObject1, kWaitTimeout or kWaitFailed.
    virtual uint32_t WaitForTwo(OsHandle first, OsHandle second, uint32_t timeoutMs) = 0;
    // The code of the last failed wait or call of this thread (GetLastError).
    virtual uint32_t LastError() = 0;

    // Overlapped port I/O through a slot of the calling thread. `error` is set when Failed.
    virtual std::unique_ptr<IIoSlot> CreateIoSlot() = 0;
    // Writes the first `size` bytes of the slot's buffer.
    virtual IoStart WriteFile(OsHandle port, IIoSlot& slot, uint32_t size, uint32_t& error) = 0;
    // Clears the slot's event mask, then waits for the port's next event into it.
    virtual IoStart WaitCommEvent(OsHandle port, IIoSlot& slot, uint32_t& error) = 0;
    // Reads into the slot's buffer.
    virtual IoStart ReadFile(OsHandle port, IIoSlot& slot, uint32_t size, uint32_t& bytesRead,
                             uint32_t& error) = 0;
    // GetOverlappedResult without waiting.
    virtual bool GetOverlappedResult(OsHandle port, IIoSlot& slot, uint32_t& bytes, uint32_t& error) = 0;
    // Before a slot goes: cancels its pending operation and waits (bounded) for the system to
    // let go of it. Returns false when the system still holds it; the slot must then be kept.
    virtual bool ReleaseIo(OsHandle port, IIoSlot& slot) = 0;

    // Synchronous reading of the BIN and B86 files (CreateFileA with GENERIC_READ,
    // FILE_SHARE_READ, OPEN_EXISTING; GetFileSize; ReadFile; SetFilePointer to the start).
    virtual OsHandle OpenFileForReading(const std::string& path, uint32_t& error) = 0; // null on failure
    virtual uint32_t FileSize(OsHandle file) = 0;
    virtual bool ReadFileSync(OsHandle file, uint8_t* buffer, uint32_t size, uint32_t& bytesRead,
                              uint32_t& error) = 0;
    virtual bool RewindFile(OsHandle file) = 0;

    // PostMessageA to the owner's window.
    virtual bool PostToWindow(OsHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) = 0;

    // The port of a transfer: CreateFileA for overlapped reading and writing, no sharing.
    virtual OsHandle OpenPort(const std::string& name, uint32_t& error) = 0; // null on failure
    // SetCommMask, SetupComm, PurgeComm, SetCommTimeouts, GetCommState and SetCommState with the
    // fixed values; returns the first call that failed (None on success) and its error code.
    virtual PortSetupCall ConfigurePort(OsHandle port, const PortSettings& settings, uint32_t& error) = 0;
    // A handle of the thread's own on the same port, so that closing the session's handle
    // never pulls the port from under a thread's pending operation.
    virtual OsHandle DuplicatePortHandle(OsHandle port) = 0;

    // CreateThread at THREAD_PRIORITY_BELOW_NORMAL running `body`; null when it cannot start.
    virtual OsHandle StartThread(std::function<void()> body, uint32_t& threadId) = 0;
    // WaitForMultipleObjects on the threads with bWaitAll TRUE.
    virtual uint32_t WaitForThreads(const OsHandle* threads, uint32_t count, uint32_t timeoutMs) = 0;
};

// A handle of the platform, closed when it goes.
class ScopedHandle {
public:
    ScopedHandle() = default;
    ScopedHandle(IEnginePlatform& platform, OsHandle handle) : platform(&platform), handle(handle) {}
    ~ScopedHandle() { Reset(); }
    ScopedHandle(ScopedHandle&& other) noexcept : platform(other.platform), handle(other.Release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            platform = other.platform;
            handle = other.Release();
        }
        return *this;
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    OsHandle Get() const { return handle; }
    explicit operator bool() const { return handle != nullptr; }
    OsHandle Release() {
        OsHandle released = handle;
        handle = nullptr;
        return released;
    }
    void Reset() {
        if (handle != nullptr && platform != nullptr) {
            platform->CloseHandle(handle);
        }
        handle = nullptr;
    }

private:
    IEnginePlatform* platform = nullptr;
    OsHandle handle = nullptr;
};
