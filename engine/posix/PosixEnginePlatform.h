#pragma once

#include "engine/EnginePlatform.h"
#include "engine/posix/SystemCause.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

// A message posted to the owner of a session: what a window message is on Windows.
struct PostedMessage {
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

// The owner's message queue, the native stand-in for its window: the worker threads post, the
// owner takes the messages one at a time on its own thread. The platform knows it by a handle
// (AddWindow) and only for as long as the owner keeps it: a post after the owner has gone is
// refused.
class MessageQueue {
public:
    // Messages for which `mayWait` holds are queued without waking the owner at once: it takes
    // them in order with the next message that does wake it, or `limitMs` after the first of
    // them was posted, whichever comes first. Progress messages, which come once per block, so
    // cost the acknowledge path no wake-up, and an owner with nothing to take sleeps.
    void DeferWakeFor(std::function<bool(const PostedMessage&)> mayWait, uint32_t limitMs);
    void Post(const PostedMessage& message);
    // The next message; false when none came within the time limit (kInfinite: no limit).
    bool Next(PostedMessage& message, uint32_t timeoutMs);

private:
    using Clock = std::chrono::steady_clock;
    struct Queued {
        PostedMessage message;
        Clock::time_point due; // when it is to be taken at the latest
        bool deferred = false;
    };

    std::mutex mutex;
    std::condition_variable posted;
    std::deque<Queued> queue;
    size_t waking = 0; // queued messages that are not deferred
    std::function<bool(const PostedMessage&)> mayWait;
    std::chrono::milliseconds limit{0};
};

// The engine platform over POSIX. Events are eventfds (set: a write; reset: a read; signalled:
// readable), so every wait is one poll() with the stop event first and a time limit. The port
// is a terminal opened non-blocking: a write goes to the driver at once or completes while a
// wait polls for room; a pending WaitCommEvent completes when the port turns readable, which
// the wait learns from the same poll, so an acknowledge wakes the receive thread directly.
// Threads are the standard library's; their end is an eventfd as well. Codes are Win32 codes
// (engine/posix/PosixErrors.h). Handles are numbers that are never used twice, so a handle that
// was closed can never reach an object opened later.
class PosixEnginePlatform : public IEnginePlatform {
public:
    PosixEnginePlatform();
    ~PosixEnginePlatform() override;
    PosixEnginePlatform(const PosixEnginePlatform&) = delete;
    PosixEnginePlatform& operator=(const PosixEnginePlatform&) = delete;

    // The owner's window: its message queue, which the platform does not keep alive.
    OsHandle AddWindow(const std::shared_ptr<MessageQueue>& queue);

    // Files the run has read once already, by absolute path: opened, they give these bytes and
    // not the disk's, so that what is sent is what was recorded of them.
    void ServeFiles(std::unordered_map<std::string, std::shared_ptr<const std::string>> files);

    // Bytes handed to ports so far.
    uint64_t BytesWritten() const { return bytesWritten.load(std::memory_order_relaxed); }
    // The first failure with a system cause since the last port was opened (the cause; what
    // followed from it is not kept), for the user's line in Linux words.
    SystemCause Cause();

    OsHandle CreateManualEvent(bool signalled) override;
    void SetEvent(OsHandle event) override;
    void ResetEvent(OsHandle event) override;
    void CloseHandle(OsHandle handle) override;
    uint32_t WaitForTwo(OsHandle first, OsHandle second, uint32_t timeoutMs) override;
    uint32_t LastError() override;
    std::unique_ptr<IIoSlot> CreateIoSlot() override;
    IoStart WriteFile(OsHandle port, IIoSlot& slot, uint32_t size, uint32_t& error) override;
    IoStart WaitCommEvent(OsHandle port, IIoSlot& slot, uint32_t& error) override;
    IoStart ReadFile(OsHandle port, IIoSlot& slot, uint32_t size, uint32_t& bytesRead,
                     uint32_t& error) override;
    bool GetOverlappedResult(OsHandle port, IIoSlot& slot, uint32_t& bytes, uint32_t& error) override;
    bool ReleaseIo(OsHandle port, IIoSlot& slot) override;
    OsHandle OpenFileForReading(const std::string& path, uint32_t& error) override;
    uint32_t FileSize(OsHandle file) override;
    bool ReadFileSync(OsHandle file, uint8_t* buffer, uint32_t size, uint32_t& bytesRead,
                      uint32_t& error) override;
    bool RewindFile(OsHandle file) override;
    bool PostToWindow(OsHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) override;
    OsHandle OpenPort(const std::string& name, uint32_t& error) override;
    PortSetupCall ConfigurePort(OsHandle port, const PortSettings& settings, uint32_t& error) override;
    OsHandle DuplicatePortHandle(OsHandle port) override;
    OsHandle StartThread(std::function<void()> body, uint32_t& threadId) override;
    uint32_t WaitForThreads(const OsHandle* threads, uint32_t count, uint32_t timeoutMs) override;

    struct Object;
    struct Event;
    struct Port;
    struct File;
    struct Thread;
    struct Window;
    class Slot;

private:
    OsHandle Add(std::shared_ptr<Object> object);
    template <typename T> std::shared_ptr<T> Find(OsHandle handle);
    bool Complete(Slot& slot, short revents);
    void RecordCause(const SystemCause& cause);
    void RecordCause(SystemCause::Kind kind, int error, const std::string& path);

    std::mutex mutex;
    std::unordered_map<OsHandle, std::shared_ptr<Object>> objects;
    std::unordered_map<std::string, std::shared_ptr<const std::string>> served;
    SystemCause cause;
    std::atomic<uint64_t> bytesWritten{0};
    std::atomic<uint32_t> nextThreadId{1};
    uintptr_t nextHandle = 0x10;
};
