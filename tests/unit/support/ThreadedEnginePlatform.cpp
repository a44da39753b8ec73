#include "tests/unit/support/ThreadedEnginePlatform.h"

#include <algorithm>
#include <chrono>

namespace enginethreads {

namespace {
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorInvalidHandle = 6;
} // namespace

// Both directions of one in-memory serial line.
struct ThreadedEnginePlatform::Line {
    std::deque<uint8_t> toDevice;
    std::deque<uint8_t> toHost;
    bool arrivalPending = false; // data arrived while no WaitCommEvent was pending
    Slot* eventWaiter = nullptr; // the slot of a pending WaitCommEvent
};

struct ThreadedEnginePlatform::Object {
    std::string kind; // "event", "port", "file", "thread", "window"
    bool closed = false;
    bool signalled = false; // event
    Line* line = nullptr;   // port
    std::string path;       // file
    uint32_t position = 0;  // file
    bool ended = false;     // thread
};

class ThreadedEnginePlatform::Slot : public IIoSlot {
public:
    Slot(ThreadedEnginePlatform& platform, Object& event) : platform(platform), event(event) {}
    ~Slot() override { platform.CloseHandle(&event); }
    OsHandle CompletionEvent() const override { return &event; }
    uint8_t* Buffer() override { return buffer; }
    uint32_t EventMask() const override { return mask; }

    ThreadedEnginePlatform& platform;
    Object& event;
    uint8_t buffer[kBufferSize] = {};
    uint32_t mask = 0;
    uint32_t bytes = 0;
};

ThreadedEnginePlatform::ThreadedEnginePlatform() = default;

ThreadedEnginePlatform::~ThreadedEnginePlatform() {
    StopDevice();
    ReleaseReads();
    JoinThreads();
}

ThreadedEnginePlatform::Object& ThreadedEnginePlatform::Add(const char* kind) {
    objects.push_back(std::make_unique<Object>());
    objects.back()->kind = kind;
    return *objects.back();
}

// Called with the lock held. Null (and a note) for a handle that is unknown, of another kind
// or closed.
ThreadedEnginePlatform::Object* ThreadedEnginePlatform::Find(OsHandle handle, const char* kind) {
    for (const auto& object : objects) {
        if (object.get() == handle) {
            if (object->kind != kind) {
                misuse.push_back("a " + object->kind + " handle used as a " + kind);
                return nullptr;
            }
            if (object->closed) {
                misuse.push_back(std::string("a closed ") + kind + " handle used");
                return nullptr;
            }
            return object.get();
        }
    }
    misuse.push_back(std::string("an unknown handle used as a ") + kind);
    return nullptr;
}

void ThreadedEnginePlatform::Signal(Object& event) {
    event.signalled = true;
    changed.notify_all();
}

void ThreadedEnginePlatform::AddFile(const std::string& path, std::vector<uint8_t> content) {
    std::lock_guard<std::mutex> lock(mutex);
    files[path] = std::move(content);
}

void ThreadedEnginePlatform::HoldReads(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex);
    heldFiles.insert(path);
}

bool ThreadedEnginePlatform::WaitUntilReadHeld() {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return readHeld || ended > 0; });
    return readHeld;
}

void ThreadedEnginePlatform::ReleaseReads() {
    std::lock_guard<std::mutex> lock(mutex);
    heldFiles.clear();
    changed.notify_all();
}

bool ThreadedEnginePlatform::NextMessage(Message& message) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return !queue.empty() || ended > 0; });
    if (queue.empty()) {
        return false;
    }
    message = queue.front();
    queue.pop_front();
    return true;
}

std::vector<Message> ThreadedEnginePlatform::TakeMessages() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Message> taken(queue.begin(), queue.end());
    queue.clear();
    return taken;
}

void ThreadedEnginePlatform::JoinThreads() {
    std::vector<std::thread> joining;
    {
        std::lock_guard<std::mutex> lock(mutex);
        joining.swap(threads);
    }
    for (std::thread& thread : joining) {
        thread.join();
    }
}

int ThreadedEnginePlatform::LiveThreads() const {
    std::lock_guard<std::mutex> lock(mutex);
    return live;
}

int ThreadedEnginePlatform::OpenHandles() const {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(std::count_if(objects.begin(), objects.end(), [](const auto& object) {
        return !object->closed && object->kind != "window";
    }));
}

std::vector<std::string> ThreadedEnginePlatform::Misuse() const {
    std::lock_guard<std::mutex> lock(mutex);
    return misuse;
}

bool ThreadedEnginePlatform::DeviceRead(uint8_t& byte) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(
        lock, [this] { return deviceStopped || (deviceLine != nullptr && !deviceLine->toDevice.empty()); });
    if (deviceStopped) {
        return false;
    }
    byte = deviceLine->toDevice.front();
    deviceLine->toDevice.pop_front();
    return true;
}

void ThreadedEnginePlatform::DeviceWrite(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    if (deviceLine == nullptr || bytes.empty()) {
        return;
    }
    deviceLine->toHost.insert(deviceLine->toHost.end(), bytes.begin(), bytes.end());
    if (Slot* waiter = deviceLine->eventWaiter) {
        deviceLine->eventWaiter = nullptr;
        waiter->mask = kEvRxChar;
        Signal(waiter->event);
    } else {
        deviceLine->arrivalPending = true;
    }
}

void ThreadedEnginePlatform::StopDevice() {
    std::lock_guard<std::mutex> lock(mutex);
    deviceStopped = true;
    changed.notify_all();
}

OsHandle ThreadedEnginePlatform::CreateManualEvent(bool signalled) {
    std::lock_guard<std::mutex> lock(mutex);
    Object& event = Add("event");
    event.signalled = signalled;
    return &event;
}

void ThreadedEnginePlatform::SetEvent(OsHandle handle) {
    std::lock_guard<std::mutex> lock(mutex);
    if (Object* event = Find(handle, "event")) {
        Signal(*event);
    }
}

void ThreadedEnginePlatform::ResetEvent(OsHandle handle) {
    std::lock_guard<std::mutex> lock(mutex);
    if (Object* event = Find(handle, "event")) {
        event->signalled = false;
    }
}

void ThreadedEnginePlatform::CloseHandle(OsHandle handle) {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& object : objects) {
        if (object.get() == handle) {
            if (object->closed) {
                misuse.push_back("a " + object->kind + " handle closed twice");
            }
            object->closed = true;
            return;
        }
    }
    misuse.push_back("an unknown handle closed");
}

uint32_t ThreadedEnginePlatform::WaitForTwo(OsHandle firstHandle, OsHandle secondHandle, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex);
    Object* first = Find(firstHandle, "event");
    Object* second = Find(secondHandle, "event");
    if (first == nullptr || second == nullptr) {
        return kWaitFailed;
    }
    auto ready = [first, second] { return first->signalled || second->signalled; };
    if (timeoutMs == kInfinite) {
        changed.wait(lock, ready);
    } else {
        changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    }
    if (first->signalled) {
        return kWaitObject0;
    }
    return second->signalled ? kWaitObject1 : kWaitTimeout;
}

std::unique_ptr<IIoSlot> ThreadedEnginePlatform::CreateIoSlot() {
    std::lock_guard<std::mutex> lock(mutex);
    return std::make_unique<Slot>(*this, Add("event"));
}

// A write goes onto the line at once but completes through the slot's event, as an
// overlapped write on a real port usually does.
IoStart ThreadedEnginePlatform::WriteFile(OsHandle port, IIoSlot& ioSlot, uint32_t size, uint32_t& error) {
    std::lock_guard<std::mutex> lock(mutex);
    Object* object = Find(port, "port");
    if (object == nullptr) {
        error = kErrorInvalidHandle;
        return IoStart::Failed;
    }
    Slot& slot = static_cast<Slot&>(ioSlot);
    object->line->toDevice.insert(object->line->toDevice.end(), slot.buffer, slot.buffer + size);
    slot.bytes = size;
    Signal(slot.event);
    return IoStart::Pending;
}

IoStart ThreadedEnginePlatform::WaitCommEvent(OsHandle port, IIoSlot& ioSlot, uint32_t& error) {
    std::lock_guard<std::mutex> lock(mutex);
    Object* object = Find(port, "port");
    Slot& slot = static_cast<Slot&>(ioSlot);
    slot.mask = 0;
    if (object == nullptr) {
        error = kErrorInvalidHandle;
        return IoStart::Failed;
    }
    slot.event.signalled = false;
    if (object->line->arrivalPending) {
        object->line->arrivalPending = false;
        slot.mask = kEvRxChar;
        return IoStart::Done;
    }
    object->line->eventWaiter = &slot;
    return IoStart::Pending;
}

// The port's read time-outs make a read return at once with what the driver holds.
IoStart ThreadedEnginePlatform::ReadFile(OsHandle port, IIoSlot& ioSlot, uint32_t size, uint32_t& bytesRead,
                                         uint32_t& error) {
    std::lock_guard<std::mutex> lock(mutex);
    Object* object = Find(port, "port");
    if (object == nullptr) {
        error = kErrorInvalidHandle;
        return IoStart::Failed;
    }
    Slot& slot = static_cast<Slot&>(ioSlot);
    std::deque<uint8_t>& arrived = object->line->toHost;
    uint32_t count = static_cast<uint32_t>(std::min<size_t>({size, arrived.size(), IIoSlot::kBufferSize}));
    std::copy(arrived.begin(), arrived.begin() + count, slot.buffer);
    arrived.erase(arrived.begin(), arrived.begin() + count);
    bytesRead = count;
    return IoStart::Done;
}

bool ThreadedEnginePlatform::GetOverlappedResult(OsHandle port, IIoSlot& ioSlot, uint32_t& bytes,
                                                 uint32_t& error) {
    std::lock_guard<std::mutex> lock(mutex);
    if (Find(port, "port") == nullptr) {
        error = kErrorInvalidHandle;
        return false;
    }
    bytes = static_cast<Slot&>(ioSlot).bytes;
    return true;
}

bool ThreadedEnginePlatform::ReleaseIo(OsHandle, IIoSlot& ioSlot) {
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& line : lines) {
        if (line->eventWaiter == &ioSlot) {
            line->eventWaiter = nullptr;
        }
    }
    return true;
}

OsHandle ThreadedEnginePlatform::OpenFileForReading(const std::string& path, uint32_t& error) {
    std::lock_guard<std::mutex> lock(mutex);
    if (files.count(path) == 0) {
        error = kErrorFileNotFound;
        return nullptr;
    }
    Object& file = Add("file");
    file.path = path;
    return &file;
}

uint32_t ThreadedEnginePlatform::FileSize(OsHandle handle) {
    std::lock_guard<std::mutex> lock(mutex);
    Object* file = Find(handle, "file");
    return file == nullptr ? 0 : static_cast<uint32_t>(files[file->path].size());
}

bool ThreadedEnginePlatform::ReadFileSync(OsHandle handle, uint8_t* buffer, uint32_t size,
                                          uint32_t& bytesRead, uint32_t& error) {
    std::unique_lock<std::mutex> lock(mutex);
    Object* file = Find(handle, "file");
    if (file == nullptr) {
        error = kErrorInvalidHandle;
        return false;
    }
    if (heldFiles.count(file->path) != 0) {
        readHeld = true;
        changed.notify_all();
        changed.wait(lock, [this, file] { return heldFiles.count(file->path) == 0; });
    }
    const std::vector<uint8_t>& content = files[file->path];
    uint32_t count = static_cast<uint32_t>(std::min<size_t>(size, content.size() - file->position));
    std::copy_n(content.begin() + file->position, count, buffer);
    file->position += count;
    bytesRead = count;
    return true;
}

bool ThreadedEnginePlatform::RewindFile(OsHandle handle) {
    std::lock_guard<std::mutex> lock(mutex);
    Object* file = Find(handle, "file");
    if (file != nullptr) {
        file->position = 0;
    }
    return file != nullptr;
}

bool ThreadedEnginePlatform::PostToWindow(OsHandle, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    std::lock_guard<std::mutex> lock(mutex);
    queue.push_back({message, wParam, lParam});
    changed.notify_all();
    return true;
}

OsHandle ThreadedEnginePlatform::OpenPort(const std::string&, uint32_t&) {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(std::make_unique<Line>());
    deviceLine = lines.back().get();
    Object& port = Add("port");
    port.line = deviceLine;
    changed.notify_all();
    return &port;
}

PortSetupCall ThreadedEnginePlatform::ConfigurePort(OsHandle, const PortSettings&, uint32_t&) {
    return PortSetupCall::None;
}

OsHandle ThreadedEnginePlatform::DuplicatePortHandle(OsHandle handle) {
    std::lock_guard<std::mutex> lock(mutex);
    Object* port = Find(handle, "port");
    if (port == nullptr) {
        return nullptr;
    }
    Line* line = port->line;
    Object& duplicate = Add("port");
    duplicate.line = line;
    return &duplicate;
}

OsHandle ThreadedEnginePlatform::StartThread(std::function<void()> body, uint32_t& threadId) {
    std::lock_guard<std::mutex> lock(mutex);
    Object& handle = Add("thread");
    ++live;
    threadId = static_cast<uint32_t>(threads.size() + 1);
    threads.emplace_back([this, &handle, body = std::move(body)]() mutable {
        body();
        body = nullptr; // what the thread held goes before it counts as ended
        std::lock_guard<std::mutex> endLock(mutex);
        handle.ended = true;
        --live;
        ++ended;
        changed.notify_all();
    });
    return &handle;
}

uint32_t ThreadedEnginePlatform::WaitForThreads(const OsHandle* handles, uint32_t count, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex);
    std::vector<Object*> waited;
    for (uint32_t i = 0; i < count; ++i) {
        if (Object* thread = Find(handles[i], "thread")) {
            waited.push_back(thread);
        }
    }
    auto allEnded = [&waited] {
        return std::all_of(waited.begin(), waited.end(), [](const Object* thread) { return thread->ended; });
    };
    uint32_t limit = std::min(timeoutMs, threadWaitCapMs);
    if (limit == kInfinite) {
        changed.wait(lock, allEnded);
    } else {
        changed.wait_for(lock, std::chrono::milliseconds(limit), allEnded);
    }
    return allEnded() ? kWaitObject0 : kWaitTimeout;
}

ScriptedDevice::ScriptedDevice(ThreadedEnginePlatform& platform, std::vector<Step> steps)
    : platform(platform), steps(std::move(steps)), thread([this] { Run(); }) {}

ScriptedDevice::~ScriptedDevice() {
    platform.StopDevice();
    thread.join();
}

std::vector<uint8_t> ScriptedDevice::Received() {
    std::lock_guard<std::mutex> lock(mutex);
    return received;
}

bool ScriptedDevice::Read(size_t count, std::vector<uint8_t>* bytes) {
    for (size_t i = 0; i < count; ++i) {
        uint8_t byte = 0;
        if (!platform.DeviceRead(byte)) {
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex);
        received.push_back(byte);
        if (bytes != nullptr) {
            bytes->push_back(byte);
        }
    }
    return true;
}

// The loader's side of the protocol: wake-up byte, boot image, blocks by their length byte.
void ScriptedDevice::Run() {
    for (const Step& step : steps) {
        if (!Read(1)) {
            return;
        }
        platform.DeviceWrite({step.connectAnswer});
        if (!Read(960)) {
            return;
        }
        std::vector<uint8_t> answer(step.textBeforeBootAnswer.begin(), step.textBeforeBootAnswer.end());
        answer.push_back(step.bootAnswer);
        platform.DeviceWrite(answer);
        size_t received = 0;
        for (size_t block = 1; received < step.programBytes; ++block) {
            std::vector<uint8_t> length;
            if (!Read(1, &length) || !Read(length[0] + 4u)) {
                return;
            }
            received += length[0] + 5u;
            if (block > step.answeredBlocks) {
                uint8_t ignored = 0;
                while (platform.DeviceRead(ignored)) {
                    // silent until stopped
                }
                return;
            }
            platform.DeviceWrite({step.blockAnswer});
        }
    }
}

} // namespace enginethreads
