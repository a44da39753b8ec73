#pragma once

#include "engine/EnginePlatform.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// A platform for the engine's unit tests that runs every thread procedure on the test thread
// and lets the test decide what happens while the engine waits. No real time passes: a
// time-out advances a virtual clock by the wait's limit.
//
// A wait returns at once when one of its handles is already signalled (the first one wins).
// Otherwise it would block, and the next entry of the wait script says what happens during it.
// With an empty script the world is quiet: a pending operation that has something to deliver
// completes, a finite wait times out and an infinite wait is ended by a stop (the test is over).
// A poll (time limit 0) never takes from the wait script; it has its own poll script.
namespace enginefake {

// What happens during a wait that would block.
enum class During {
    Complete, // the pending operation of the waited slot completes (its data and mask arrive)
    Signal,   // the second handle is signalled
    Stop,     // the first handle (the stop event) is signalled
    Timeout,  // the time limit passes
    Fail,     // the wait fails (WAIT_FAILED) with the error code
    Nothing,  // only `before` happens; the wait then returns what is signalled, or times out
};

struct WaitAction {
    During what = During::Timeout;
    uint32_t error = 0;           // for Fail: the code GetLastError gives afterwards
    std::function<void()> before; // runs first, during the wait (a device answer, messages...)
};

// One call of WaitForTwo, as the engine made it.
struct WaitRecord {
    OsHandle first;
    OsHandle second;
    uint32_t timeoutMs;
    uint32_t result;
    bool blocked; // neither handle was signalled when the wait began
};

// How an overlapped operation starts. Pending operations complete during a later wait.
struct IoScript {
    IoStart start = IoStart::Done;
    uint32_t error = 0;        // Failed: the code handed back
    uint32_t mask = 0;         // WaitCommEvent: the event mask delivered
    std::vector<uint8_t> data; // ReadFile: the bytes delivered
    uint32_t resultError = 0;  // non-zero: GetOverlappedResult after the completion fails with it
    bool willComplete = true;  // Pending: false = nothing will ever arrive
};

// One WriteFile: the bytes the engine handed over and how the write started.
struct WriteRecord {
    std::vector<uint8_t> bytes;
    IoStart start;
};

struct PostedMessage {
    OsHandle window;
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
};

// A fault of one synchronous read of a file, by the index of the read on that file.
struct ReadFault {
    bool fail = false; // the read fails with `error`
    uint32_t error = 0;
    uint32_t limit = 0; // otherwise: at most this many bytes are delivered (a short read)
};

struct FakeFile {
    std::vector<uint8_t> content;
    uint32_t openError = 0; // non-zero: opening fails with this code
    std::map<int, ReadFault> readFaults;
    uint64_t furthestAsked = 0; // the end of the furthest range a read asked for
};

class FakeEnginePlatform : public IEnginePlatform {
public:
    FakeEnginePlatform();
    ~FakeEnginePlatform() override;

    // --- Scripting ---
    std::deque<WaitAction> waitScript;
    // Results of polls that find nothing signalled; empty: time-out. kWaitObject0 signals the
    // stop event (a stop that comes while polling), kWaitFailed fails with pollError.
    std::deque<uint32_t> pollScript;
    uint32_t pollError = 0;               // the code GetLastError gives after a scripted poll failure
    std::map<int, IoScript> writeScript;  // by index of the WriteFile call; missing: done at once
    std::deque<IoScript> commEventScript; // empty: pending, and nothing arrives
    std::deque<IoScript> readScript;      // empty: done at once with no bytes
    // Called when the bytes of a write are on the line (at once, or when a pending write completes).
    std::function<void(const std::vector<uint8_t>&)> onWire;
    // Called right after an event was reset (something that arrives just then).
    std::function<void(OsHandle)> onReset;

    std::map<std::string, FakeFile> files;
    uint32_t openPortError = 0; // non-zero: OpenPort fails
    // A port is opened without sharing: while any handle of an earlier opening (a thread's
    // duplicate included) is open, OpenPort fails with ERROR_ACCESS_DENIED.
    PortSetupCall failingSetupCall = PortSetupCall::None;
    uint32_t setupError = 0;
    int failThreadStart = -1;            // index of the StartThread call that fails
    bool threadsEndWhenWaitedFor = true; // false: threads slow to end (a wait for them times out)
    uint32_t threadEndsAfterMs = 0;      // a wait for a thread shorter than this times out
    uint32_t threadStartError = 8;

    // --- Running threads ---
    // Thread bodies do not run when started: the test runs them, or they run when a
    // WaitForThreads with a time limit waits for them (they then see whatever stop is set).
    void RunThread(OsHandle thread);
    void RunPendingThreads();
    size_t PendingThreadCount() const;

    // --- Observation ---
    std::vector<WriteRecord> writes;
    std::vector<uint32_t> readRequests; // the size each ReadFile on the port asked for
    std::vector<uint8_t> Wire() const;  // every byte of the writes that were not refused
    std::vector<WaitRecord> waits;
    std::vector<PostedMessage> posted;
    std::vector<PostedMessage> TakePosted();
    struct ThreadWait {
        std::vector<OsHandle> threads;
        uint32_t timeoutMs;
    };
    std::vector<ThreadWait> threadWaits;
    std::vector<std::string> openedPorts;
    std::vector<PortSettings> configuredPorts;
    std::vector<OsHandle> startedThreads;
    uint64_t nowMs = 0; // the virtual clock
    int releasedSlots = 0;

    bool IsSignalled(OsHandle event) const;
    bool IsClosed(OsHandle handle) const;
    int OpenHandleCount(const char* kind) const; // "event", "port", "file", "thread"
    OsHandle NewEvent(bool signalled) { return CreateManualEvent(signalled); }
    OsHandle NewPort() {
        uint32_t error = 0;
        return OpenPort("COM1", error);
    }
    OsHandle window = nullptr; // an owner window to post to

    // --- IEnginePlatform ---
    OsHandle CreateManualEvent(bool signalled) override;
    void SetEvent(OsHandle event) override;
    void ResetEvent(OsHandle event) override;
    void CloseHandle(OsHandle handle) override;
    uint32_t WaitForTwo(OsHandle first, OsHandle second, uint32_t timeoutMs) override;
    uint32_t LastError() override { return lastError; }
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
    class Slot;

private:
    Object& Get(OsHandle handle, const char* kind) const;
    Object& Add(const char* kind);
    uint32_t Block(Object& first, Object& second, uint32_t timeoutMs);
    void Complete(Slot& slot);
    void Deliver(const std::vector<uint8_t>& bytes);

    std::vector<std::unique_ptr<Object>> objects;
    uint32_t lastError = 0;
    int writeCount = 0;
};

} // namespace enginefake
