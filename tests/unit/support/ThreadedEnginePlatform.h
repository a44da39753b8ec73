#pragma once

#include "engine/EnginePlatform.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// A platform with real threads and real time for whole transfers in the native tests. Events
// are flags under one lock with one condition variable; waits have real time limits. A port
// is an in-memory line: what the engine writes goes to the device side, what the device side
// writes arrives for the receive thread, which learns of it the way a serial driver tells it:
// an arrival completes a pending WaitCommEvent with EV_RXCHAR, or is remembered for the next.
// Every thread started is joined by JoinThreads or, at the latest, by the destructor.
namespace enginethreads {

struct Message {
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
};

class ThreadedEnginePlatform : public IEnginePlatform {
public:
    ThreadedEnginePlatform();
    ~ThreadedEnginePlatform() override;
    ThreadedEnginePlatform(const ThreadedEnginePlatform&) = delete;
    ThreadedEnginePlatform& operator=(const ThreadedEnginePlatform&) = delete;

    // --- Set-up ---
    void AddFile(const std::string& path, std::vector<uint8_t> content);
    // Reads of this file block until ReleaseReads: a thread that is slow to end.
    void HoldReads(const std::string& path);
    // Blocks until a read is held; false when a thread ended instead (none will be).
    bool WaitUntilReadHeld();
    void ReleaseReads();
    // The longest a WaitForThreads may wait (the owner's wait for its threads).
    uint32_t threadWaitCapMs = kInfinite;

    // --- The owner's message queue ---
    // The next posted message; blocks until one comes. False when the queue is empty and a
    // thread started here has ended: a transfer whose worker is gone has nothing more to say
    // that the owner waits for (and a broken one fails its test instead of hanging it).
    bool NextMessage(Message& message);
    std::vector<Message> TakeMessages();

    // --- Threads and handles ---
    void JoinThreads(); // waits, without a limit, until every thread started has ended
    int LiveThreads() const;
    int OpenHandles() const;
    std::vector<std::string> Misuse() const; // handles used after closing, closed twice...

    // --- The device side of the line of the port opened last ---
    bool DeviceRead(uint8_t& byte); // blocks until a byte comes; false once the device is stopped
    void DeviceWrite(const std::vector<uint8_t>& bytes);
    void StopDevice();

    // --- IEnginePlatform ---
    OsHandle CreateManualEvent(bool signalled) override;
    void SetEvent(OsHandle event) override;
    void ResetEvent(OsHandle event) override;
    void CloseHandle(OsHandle handle) override;
    uint32_t WaitForTwo(OsHandle first, OsHandle second, uint32_t timeoutMs) override;
    uint32_t LastError() override { return 0; }
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

    struct Line;
    struct Object;
    class Slot;

private:
    Object& Add(const char* kind);
    Object* Find(OsHandle handle, const char* kind);
    void Signal(Object& event);

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::unique_ptr<Object>> objects;
    std::vector<std::unique_ptr<Line>> lines;
    Line* deviceLine = nullptr;
    bool deviceStopped = false;
    std::map<std::string, std::vector<uint8_t>> files;
    std::set<std::string> heldFiles;
    bool readHeld = false;
    std::deque<Message> queue;
    std::vector<std::thread> threads;
    int live = 0;
    int ended = 0;
    std::vector<std::string> misuse;
};

// The controller's bootstrap loader on its own thread at the device side of the line. For
// each step it answers the wake-up byte, the boot image and the blocks of a program file of
// the given size; it records every byte it receives.
class ScriptedDevice {
public:
    static constexpr size_t kAll = static_cast<size_t>(-1);
    struct Step {
        Step(size_t programBytes, uint8_t connectAnswer, uint8_t bootAnswer = 0x11,
             uint8_t blockAnswer = 0x11, std::string textBeforeBootAnswer = "")
            : programBytes(programBytes), connectAnswer(connectAnswer), bootAnswer(bootAnswer),
              blockAnswer(blockAnswer), textBeforeBootAnswer(std::move(textBeforeBootAnswer)) {}
        size_t programBytes;
        uint8_t connectAnswer;
        uint8_t bootAnswer;
        uint8_t blockAnswer;
        std::string textBeforeBootAnswer; // device output sent with the boot acknowledge
        size_t answeredBlocks = kAll;     // then it falls silent
    };

    ScriptedDevice(ThreadedEnginePlatform& platform, std::vector<Step> steps);
    ~ScriptedDevice(); // stops the device side and joins its thread
    ScriptedDevice(const ScriptedDevice&) = delete;
    ScriptedDevice& operator=(const ScriptedDevice&) = delete;

    // Everything received so far.
    std::vector<uint8_t> Received();

private:
    void Run();
    bool Read(size_t count, std::vector<uint8_t>* bytes = nullptr);

    ThreadedEnginePlatform& platform;
    const std::vector<Step> steps;
    std::mutex mutex;
    std::vector<uint8_t> received;
    std::thread thread;
};

} // namespace enginethreads
