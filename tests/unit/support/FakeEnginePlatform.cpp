#include "tests/unit/support/FakeEnginePlatform.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace enginefake {

constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorIoIncomplete = 996;

// Every handle of the fake is one of these; the handle value is its address.
struct FakeEnginePlatform::Object {
    std::string kind; // "event", "port", "file", "thread", "window"
    bool closed = false;
    // event
    bool signalled = false;
    Slot* slot = nullptr; // the slot whose completion event this is
    // file
    std::string path;
    uint32_t position = 0;
    int readCalls = 0;
    // thread
    std::function<void()> body;
    bool ran = false;
};

// One thread's overlapped slot: its completion event, its buffer and the operation the
// system holds until it completes.
class FakeEnginePlatform::Slot : public IIoSlot {
public:
    enum class Operation { None, Write, CommEvent, Read };

    Slot(FakeEnginePlatform& platform, Object& event) : platform(platform), event(event) {
        event.slot = this;
    }
    ~Slot() override {
        event.slot = nullptr;
        platform.CloseHandle(&event);
    }
    OsHandle CompletionEvent() const override { return &event; }
    uint8_t* Buffer() override { return buffer; }
    uint32_t EventMask() const override { return mask; }

    void Start(Operation what, const IoScript& how) {
        pending = what;
        script = how;
        event.signalled = false; // an overlapped operation resets its event when it starts
    }

    FakeEnginePlatform& platform;
    Object& event;
    uint8_t buffer[kBufferSize] = {};
    uint32_t mask = 0;
    Operation pending = Operation::None;
    IoScript script;
    uint32_t writeSize = 0;
    uint32_t lastBytes = 0;
    uint32_t lastResultError = 0;
};

FakeEnginePlatform::FakeEnginePlatform() {
    window = &Add("window");
}

FakeEnginePlatform::~FakeEnginePlatform() = default;

FakeEnginePlatform::Object& FakeEnginePlatform::Add(const char* kind) {
    objects.push_back(std::make_unique<Object>());
    objects.back()->kind = kind;
    return *objects.back();
}

FakeEnginePlatform::Object& FakeEnginePlatform::Get(OsHandle handle, const char* kind) const {
    static Object invalid;
    for (const auto& object : objects) {
        if (object.get() == handle) {
            if (object->kind != kind) {
                ADD_FAILURE() << "a " << object->kind << " handle used as a " << kind;
            } else if (object->closed) {
                ADD_FAILURE() << "a closed " << kind << " handle used";
            }
            return *object;
        }
    }
    ADD_FAILURE() << "an unknown handle used as a " << kind;
    invalid = Object();
    invalid.closed = true;
    return invalid;
}

bool FakeEnginePlatform::IsSignalled(OsHandle event) const {
    return Get(event, "event").signalled;
}

bool FakeEnginePlatform::IsClosed(OsHandle handle) const {
    for (const auto& object : objects) {
        if (object.get() == handle) {
            return object->closed;
        }
    }
    return false;
}

int FakeEnginePlatform::OpenHandleCount(const char* kind) const {
    return static_cast<int>(std::count_if(objects.begin(), objects.end(), [kind](const auto& object) {
        return object->kind == kind && !object->closed;
    }));
}

std::vector<uint8_t> FakeEnginePlatform::Wire() const {
    std::vector<uint8_t> wire;
    for (const WriteRecord& write : writes) {
        if (write.start != IoStart::Failed) {
            wire.insert(wire.end(), write.bytes.begin(), write.bytes.end());
        }
    }
    return wire;
}

std::vector<PostedMessage> FakeEnginePlatform::TakePosted() {
    std::vector<PostedMessage> taken;
    taken.swap(posted);
    return taken;
}

OsHandle FakeEnginePlatform::CreateManualEvent(bool signalled) {
    Object& event = Add("event");
    event.signalled = signalled;
    return &event;
}

void FakeEnginePlatform::SetEvent(OsHandle event) {
    Get(event, "event").signalled = true;
}

void FakeEnginePlatform::ResetEvent(OsHandle event) {
    Get(event, "event").signalled = false;
    if (onReset) {
        onReset(event);
    }
}

void FakeEnginePlatform::CloseHandle(OsHandle handle) {
    for (const auto& object : objects) {
        if (object.get() == handle) {
            EXPECT_FALSE(object->closed) << "a " << object->kind << " handle closed twice";
            object->closed = true;
            return;
        }
    }
    ADD_FAILURE() << "an unknown handle closed";
}

uint32_t FakeEnginePlatform::WaitForTwo(OsHandle firstHandle, OsHandle secondHandle, uint32_t timeoutMs) {
    Object& first = Get(firstHandle, "event");
    Object& second = Get(secondHandle, "event");
    WaitRecord record{firstHandle, secondHandle, timeoutMs, 0, false};
    if (first.signalled) {
        record.result = kWaitObject0;
    } else if (second.signalled) {
        record.result = kWaitObject1;
    } else if (timeoutMs == 0) {
        record.blocked = true;
        record.result = kWaitTimeout;
        if (!pollScript.empty()) {
            record.result = pollScript.front();
            pollScript.pop_front();
            if (record.result == kWaitFailed) {
                lastError = pollError;
            } else if (record.result == kWaitObject0) {
                first.signalled = true;
            }
        }
    } else {
        record.blocked = true;
        record.result = Block(first, second, timeoutMs);
    }
    waits.push_back(record);
    return record.result;
}

// A wait that would block: the script (or the quiet world) decides what happens during it.
uint32_t FakeEnginePlatform::Block(Object& first, Object& second, uint32_t timeoutMs) {
    WaitAction action;
    if (!waitScript.empty()) {
        action = waitScript.front();
        waitScript.pop_front();
    } else if (second.slot != nullptr && second.slot->pending != Slot::Operation::None &&
               second.slot->script.willComplete) {
        action.what = During::Complete;
    } else {
        action.what = timeoutMs == kInfinite ? During::Stop : During::Timeout;
    }
    if (action.before) {
        action.before();
    }
    switch (action.what) {
    case During::Complete:
        if (second.slot == nullptr || second.slot->pending == Slot::Operation::None) {
            ADD_FAILURE() << "a completion scripted for a wait without a pending operation";
        } else {
            Complete(*second.slot);
        }
        break;
    case During::Signal:
        second.signalled = true;
        break;
    case During::Stop:
        first.signalled = true;
        break;
    case During::Fail:
        lastError = action.error;
        return kWaitFailed;
    case During::Timeout:
        // Whatever `before` signalled came too late for this wait; it stays signalled.
        EXPECT_NE(timeoutMs, kInfinite) << "an infinite wait cannot time out";
        nowMs += timeoutMs;
        return kWaitTimeout;
    case During::Nothing:
        break;
    }
    if (first.signalled) {
        return kWaitObject0;
    }
    if (second.signalled) {
        return kWaitObject1;
    }
    EXPECT_NE(timeoutMs, kInfinite) << "an infinite wait ended without anything signalled";
    nowMs += timeoutMs;
    return kWaitTimeout;
}

void FakeEnginePlatform::Complete(Slot& slot) {
    Slot::Operation what = slot.pending;
    slot.pending = Slot::Operation::None;
    slot.lastResultError = slot.script.resultError;
    switch (what) {
    case Slot::Operation::Write:
        slot.lastBytes = slot.writeSize;
        Deliver(writes.back().bytes);
        break;
    case Slot::Operation::CommEvent:
        slot.mask = slot.script.mask;
        slot.lastBytes = 0;
        break;
    case Slot::Operation::Read: {
        uint32_t size =
            static_cast<uint32_t>(std::min<size_t>(slot.script.data.size(), IIoSlot::kBufferSize));
        std::copy_n(slot.script.data.begin(), size, slot.buffer);
        slot.lastBytes = size;
        break;
    }
    case Slot::Operation::None:
        break;
    }
    slot.event.signalled = true;
}

void FakeEnginePlatform::Deliver(const std::vector<uint8_t>& bytes) {
    if (onWire) {
        onWire(bytes);
    }
}

std::unique_ptr<IIoSlot> FakeEnginePlatform::CreateIoSlot() {
    return std::make_unique<Slot>(*this, Add("event"));
}

IoStart FakeEnginePlatform::WriteFile(OsHandle port, IIoSlot& ioSlot, uint32_t size, uint32_t& error) {
    Get(port, "port");
    Slot& slot = static_cast<Slot&>(ioSlot);
    EXPECT_EQ(slot.pending, Slot::Operation::None) << "a write started while the slot is still busy";
    IoScript script;
    auto scripted = writeScript.find(writeCount++);
    if (scripted != writeScript.end()) {
        script = scripted->second;
    }
    writes.push_back({std::vector<uint8_t>(slot.buffer, slot.buffer + size), script.start});
    switch (script.start) {
    case IoStart::Done:
        slot.lastBytes = size;
        Deliver(writes.back().bytes);
        break;
    case IoStart::Pending:
        slot.writeSize = size;
        slot.Start(Slot::Operation::Write, script);
        break;
    case IoStart::Failed:
        error = script.error;
        lastError = script.error;
        break;
    }
    return script.start;
}

IoStart FakeEnginePlatform::WaitCommEvent(OsHandle port, IIoSlot& ioSlot, uint32_t& error) {
    Object& object = Get(port, "port");
    Slot& slot = static_cast<Slot&>(ioSlot);
    slot.mask = 0;
    if (object.closed) {
        error = kErrorInvalidHandle;
        return IoStart::Failed;
    }
    IoScript script;
    script.start = IoStart::Pending;
    script.willComplete = false;
    if (!commEventScript.empty()) {
        script = commEventScript.front();
        commEventScript.pop_front();
    }
    switch (script.start) {
    case IoStart::Done:
        slot.mask = script.mask;
        break;
    case IoStart::Pending:
        slot.Start(Slot::Operation::CommEvent, script);
        break;
    case IoStart::Failed:
        error = script.error;
        lastError = script.error;
        break;
    }
    return script.start;
}

IoStart FakeEnginePlatform::ReadFile(OsHandle port, IIoSlot& ioSlot, uint32_t size, uint32_t& bytesRead,
                                     uint32_t& error) {
    Get(port, "port");
    Slot& slot = static_cast<Slot&>(ioSlot);
    readRequests.push_back(size);
    IoScript script;
    if (!readScript.empty()) {
        script = readScript.front();
        readScript.pop_front();
    }
    EXPECT_LE(script.data.size(), size) << "a read script delivers more than the read asks for";
    switch (script.start) {
    case IoStart::Done: {
        uint32_t count = static_cast<uint32_t>(std::min<size_t>(script.data.size(), size));
        std::copy_n(script.data.begin(), count, slot.buffer);
        bytesRead = count;
        break;
    }
    case IoStart::Pending:
        bytesRead = 0;
        slot.Start(Slot::Operation::Read, script);
        break;
    case IoStart::Failed:
        error = script.error;
        lastError = script.error;
        break;
    }
    return script.start;
}

bool FakeEnginePlatform::GetOverlappedResult(OsHandle port, IIoSlot& ioSlot, uint32_t& bytes,
                                             uint32_t& error) {
    Get(port, "port");
    Slot& slot = static_cast<Slot&>(ioSlot);
    if (slot.pending != Slot::Operation::None) {
        error = kErrorIoIncomplete;
        return false;
    }
    if (slot.lastResultError != 0) {
        error = slot.lastResultError;
        return false;
    }
    bytes = slot.lastBytes;
    return true;
}

bool FakeEnginePlatform::ReleaseIo(OsHandle port, IIoSlot& ioSlot) {
    Get(port, "port");
    Slot& slot = static_cast<Slot&>(ioSlot);
    slot.pending = Slot::Operation::None;
    ++releasedSlots;
    return true;
}

OsHandle FakeEnginePlatform::OpenFileForReading(const std::string& path, uint32_t& error) {
    auto found = files.find(path);
    if (found == files.end()) {
        error = kErrorFileNotFound;
        return nullptr;
    }
    if (found->second.openError != 0) {
        error = found->second.openError;
        return nullptr;
    }
    Object& file = Add("file");
    file.path = path;
    return &file;
}

uint32_t FakeEnginePlatform::FileSize(OsHandle handle) {
    Object& file = Get(handle, "file");
    return static_cast<uint32_t>(files[file.path].content.size());
}

bool FakeEnginePlatform::ReadFileSync(OsHandle handle, uint8_t* buffer, uint32_t size, uint32_t& bytesRead,
                                      uint32_t& error) {
    Object& file = Get(handle, "file");
    FakeFile& data = files[file.path];
    data.furthestAsked = std::max<uint64_t>(data.furthestAsked, uint64_t{file.position} + size);
    ReadFault fault;
    auto found = data.readFaults.find(file.readCalls++);
    if (found != data.readFaults.end()) {
        fault = found->second;
    }
    if (fault.fail) {
        error = fault.error;
        lastError = fault.error;
        return false;
    }
    size_t remaining = data.content.size() - std::min<size_t>(file.position, data.content.size());
    uint32_t count = static_cast<uint32_t>(std::min<size_t>(size, remaining));
    if (found != data.readFaults.end()) {
        count = std::min(count, fault.limit);
    }
    std::copy_n(data.content.begin() + file.position, count, buffer);
    file.position += count;
    bytesRead = count;
    return true;
}

bool FakeEnginePlatform::RewindFile(OsHandle handle) {
    Get(handle, "file").position = 0;
    return true;
}

bool FakeEnginePlatform::PostToWindow(OsHandle target, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    Get(target, "window");
    posted.push_back({target, message, wParam, lParam});
    return true;
}

OsHandle FakeEnginePlatform::OpenPort(const std::string& name, uint32_t& error) {
    openedPorts.push_back(name);
    if (openPortError != 0) {
        error = openPortError;
        return nullptr;
    }
    if (OpenHandleCount("port") > 0) {
        error = kErrorAccessDenied;
        return nullptr;
    }
    return &Add("port");
}

PortSetupCall FakeEnginePlatform::ConfigurePort(OsHandle port, const PortSettings& settings,
                                                uint32_t& error) {
    Get(port, "port");
    configuredPorts.push_back(settings);
    if (failingSetupCall != PortSetupCall::None) {
        error = setupError;
    }
    return failingSetupCall;
}

OsHandle FakeEnginePlatform::DuplicatePortHandle(OsHandle port) {
    Get(port, "port");
    return &Add("port");
}

OsHandle FakeEnginePlatform::StartThread(std::function<void()> body, uint32_t& threadId) {
    int index = static_cast<int>(startedThreads.size());
    if (index == failThreadStart) {
        failThreadStart = -1;
        lastError = threadStartError;
        startedThreads.push_back(nullptr);
        return nullptr;
    }
    Object& thread = Add("thread");
    thread.body = std::move(body);
    threadId = static_cast<uint32_t>(index + 1);
    startedThreads.push_back(&thread);
    return &thread;
}

void FakeEnginePlatform::RunThread(OsHandle handle) {
    Object& thread = Get(handle, "thread");
    ASSERT_FALSE(thread.ran) << "a thread runs once";
    thread.ran = true;
    // The body goes when the thread ends, and with it whatever the thread held.
    std::function<void()> body = std::move(thread.body);
    thread.body = nullptr;
    body();
}

void FakeEnginePlatform::RunPendingThreads() {
    for (OsHandle thread : startedThreads) {
        if (thread != nullptr && !IsClosed(thread) && !Get(thread, "thread").ran) {
            RunThread(thread);
        }
    }
}

size_t FakeEnginePlatform::PendingThreadCount() const {
    return static_cast<size_t>(std::count_if(objects.begin(), objects.end(), [](const auto& object) {
        return object->kind == "thread" && !object->ran;
    }));
}

uint32_t FakeEnginePlatform::WaitForThreads(const OsHandle* threads, uint32_t count, uint32_t timeoutMs) {
    threadWaits.push_back({std::vector<OsHandle>(threads, threads + count), timeoutMs});
    bool allEnded = true;
    for (uint32_t i = 0; i < count; ++i) {
        Object& thread = Get(threads[i], "thread");
        if (!thread.ran && timeoutMs > 0 && threadsEndWhenWaitedFor && timeoutMs >= threadEndsAfterMs) {
            RunThread(threads[i]);
        }
        allEnded = allEnded && thread.ran;
    }
    return allEnded ? kWaitObject0 : kWaitTimeout;
}

} // namespace enginefake
