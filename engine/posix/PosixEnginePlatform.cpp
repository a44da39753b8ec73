#include "engine/posix/PosixEnginePlatform.h"

#include "config/FileSystem.h"
#include "engine/posix/PosixErrors.h"
#include "engine/posix/SerialDevice.h"
#include "engine/posix/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kErrorIoIncompleteCode = 996;
constexpr short kHangUp = POLLHUP | POLLERR | POLLNVAL;

thread_local uint32_t lastError = 0;

uint32_t Fail(int posixError) {
    lastError = Win32CodeOf(posixError);
    return lastError;
}

UniqueFd NewEventFd(bool signalled) {
    return UniqueFd(eventfd(signalled ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK));
}

// The errors of a line that has hung up: the adapter is gone.
bool HungUp(int posixError) {
    return posixError == EIO || posixError == ENXIO || posixError == ENODEV;
}

bool Readable(int fd) {
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN) != 0;
}

// Whether a port that poll() found ready has bytes for the receive thread. A line that has hung
// up stays ready for good, and its reads return nothing: it has data only while some is left.
bool HasData(int fd, short revents) {
    if ((revents & kHangUp) == 0) {
        return (revents & POLLIN) != 0;
    }
    int waiting = 0;
    return ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0;
}

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline, as poll() takes them; -1 without a limit.
int Remaining(bool limited, Clock::time_point deadline) {
    if (!limited) {
        return -1;
    }
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<decltype(left)>(left, 0));
}

} // namespace

struct PosixEnginePlatform::Object {
    virtual ~Object() = default;
};

// A manual-reset event: an eventfd for the waits that sleep, and its state beside it, so that a
// poll of the event, a set of a set event and a reset of a clear one need no system call.
struct PosixEnginePlatform::Event : Object {
    explicit Event(bool initially) : fd(NewEventFd(initially)), signalled(initially) {}
    void Set() {
        std::lock_guard<std::mutex> lock(change);
        if (!signalled.exchange(true)) {
            SignalEventFd(fd.Get());
        }
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(change);
        if (signalled.exchange(false)) {
            DrainEventFd(fd.Get());
        }
    }
    bool Signalled() const { return signalled.load(); }

    UniqueFd fd;
    Slot* io = nullptr; // the slot whose completion this is, while an operation is pending

private:
    std::mutex change;
    std::atomic<bool> signalled;
};

struct PosixEnginePlatform::Port : Object {
    Port(UniqueFd fd, std::shared_ptr<SerialDevice> device, std::string path)
        : fd(std::move(fd)), device(std::move(device)), path(std::move(path)) {}
    UniqueFd fd;
    std::shared_ptr<SerialDevice> device; // the last handle of the port closes the device
    std::string path;
};

// A step file, read through a buffer of its own: the blocks are read a few bytes at a time.
struct PosixEnginePlatform::File : Object {
    explicit File(UniqueFd fd) : fd(std::move(fd)) {}
    explicit File(std::shared_ptr<const std::string> bytes) : bytes(std::move(bytes)) {}
    UniqueFd fd;
    std::shared_ptr<const std::string> bytes; // a served file: read from here, `next` its position
    std::vector<uint8_t> buffer = std::vector<uint8_t>(64 * 1024);
    size_t next = 0; // the first buffered byte not read yet
    size_t end = 0;  // the end of the buffered bytes
};

struct PosixEnginePlatform::Window : Object {
    explicit Window(const std::shared_ptr<MessageQueue>& queue) : queue(queue) {}
    std::weak_ptr<MessageQueue> queue;
};

// A thread's end, signalled by the thread itself as its last act.
struct PosixEnginePlatform::Thread : Object {
    struct End {
        UniqueFd fd = NewEventFd(false);
    };
    ~Thread() override {
        if (thread.joinable()) {
            if (Readable(end->fd.Get())) {
                thread.join();
            } else {
                thread.detach(); // it holds what it uses; it ends by itself
            }
        }
    }
    std::shared_ptr<End> end = std::make_shared<End>();
    std::thread thread;
};

// One thread's overlapped operation: a pending WaitCommEvent waits for the port to turn readable,
// a pending write for room to write the rest. The completion event is an event of the platform.
class PosixEnginePlatform::Slot : public IIoSlot {
public:
    enum class Pending { None, CommEvent, Write };

    Slot(PosixEnginePlatform& platform, std::shared_ptr<Event> event, OsHandle handle)
        : platform(platform), event(std::move(event)), handle(handle) {
        this->event->io = this;
    }
    ~Slot() override {
        event->io = nullptr;
        platform.CloseHandle(handle);
    }
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

    OsHandle CompletionEvent() const override { return handle; }
    uint8_t* Buffer() override { return buffer; }
    uint32_t EventMask() const override { return mask; }

    void Start(Pending operation, std::shared_ptr<Port> on) {
        event->Reset();
        pending = operation;
        port = std::move(on);
        mask = 0;
        failure = 0;
        stalled = false;
    }
    void Finish(uint32_t code) {
        failure = code;
        pending = Pending::None;
        port.reset();
        event->Set();
    }

    PosixEnginePlatform& platform;
    std::shared_ptr<Event> event;
    OsHandle handle;
    Pending pending = Pending::None;
    std::shared_ptr<Port> port;
    uint32_t written = 0; // of a write: bytes handed to the driver so far
    uint32_t size = 0;    // of a write: bytes to hand over
    uint32_t mask = 0;
    uint32_t failure = 0; // the code the completed operation failed with, 0 for success
    // A write to a line that hung up: it never completes. The receive thread reports the
    // disconnect, so an unplugged device is told the same way wherever the transfer stood.
    bool stalled = false;

private:
    uint8_t buffer[kBufferSize] = {};
};

void MessageQueue::DeferWakeFor(std::function<bool(const PostedMessage&)> predicate, uint32_t limitMs) {
    std::lock_guard<std::mutex> lock(mutex);
    mayWait = std::move(predicate);
    limit = std::chrono::milliseconds(limitMs);
}

void MessageQueue::Post(const PostedMessage& message) {
    bool wake = true;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const bool deferred = mayWait && mayWait(message);
        // A deferred message wakes the owner only when it is the first to wait: the owner then
        // knows how long it may sleep. The messages after it are due with it, so that the owner
        // takes them all in one go.
        wake = !deferred || queue.empty();
        queue.push_back({message, queue.empty() ? Clock::now() + limit : queue.back().due, deferred});
        waking += deferred ? 0 : 1;
    }
    if (wake) {
        posted.notify_one();
    }
}

bool MessageQueue::Next(PostedMessage& message, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex);
    const bool limited = timeoutMs != kInfinite;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
    for (;;) {
        const auto now = Clock::now();
        if (!queue.empty() && (waking > 0 || queue.front().due <= now)) {
            break;
        }
        if (limited && now >= deadline) {
            return false;
        }
        if (!queue.empty()) {
            posted.wait_until(lock, limited ? std::min(deadline, queue.front().due) : queue.front().due);
        } else if (limited) {
            posted.wait_until(lock, deadline);
        } else {
            posted.wait(lock);
        }
    }
    message = queue.front().message;
    waking -= queue.front().deferred ? 0 : 1;
    queue.pop_front();
    return true;
}

PosixEnginePlatform::PosixEnginePlatform() = default;
PosixEnginePlatform::~PosixEnginePlatform() = default;

OsHandle PosixEnginePlatform::Add(std::shared_ptr<Object> object) {
    std::lock_guard<std::mutex> lock(mutex);
    OsHandle handle = reinterpret_cast<OsHandle>(nextHandle++);
    objects.emplace(handle, std::move(object));
    return handle;
}

OsHandle PosixEnginePlatform::AddWindow(const std::shared_ptr<MessageQueue>& queue) {
    return Add(std::make_shared<Window>(queue));
}

// The object behind a handle, or null (and ERROR_INVALID_HANDLE) for a handle that is closed,
// unknown or of another kind. The caller's reference keeps it alive through a concurrent close.
template <typename T> std::shared_ptr<T> PosixEnginePlatform::Find(OsHandle handle) {
    std::shared_ptr<Object> object;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = objects.find(handle);
        if (found != objects.end()) {
            object = found->second;
        }
    }
    std::shared_ptr<T> typed = std::dynamic_pointer_cast<T>(object);
    if (!typed) {
        lastError = kErrorInvalidHandle;
    }
    return typed;
}

SystemCause PosixEnginePlatform::Cause() {
    std::lock_guard<std::mutex> lock(mutex);
    return cause;
}

void PosixEnginePlatform::RecordCause(const SystemCause& found) {
    std::lock_guard<std::mutex> lock(mutex);
    if (cause.kind == SystemCause::Kind::None) {
        cause = found;
    }
}

void PosixEnginePlatform::RecordCause(SystemCause::Kind kind, int error, const std::string& path) {
    RecordCause(SystemCause{kind, error, path, std::string()});
}

OsHandle PosixEnginePlatform::CreateManualEvent(bool signalled) {
    auto event = std::make_shared<Event>(signalled);
    if (!event->fd) {
        Fail(errno);
        return nullptr;
    }
    return Add(event);
}

void PosixEnginePlatform::SetEvent(OsHandle handle) {
    if (auto event = Find<Event>(handle)) {
        event->Set();
    }
}

void PosixEnginePlatform::ResetEvent(OsHandle handle) {
    if (auto event = Find<Event>(handle)) {
        event->Reset();
    }
}

void PosixEnginePlatform::CloseHandle(OsHandle handle) {
    std::shared_ptr<Object> closing;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = objects.find(handle);
        if (found == objects.end()) {
            return;
        }
        closing = std::move(found->second);
        objects.erase(found);
    }
    // The object goes here, outside the lock: a thread's end may take a join.
}

uint32_t PosixEnginePlatform::LastError() {
    return lastError;
}

// A pending operation whose descriptor poll() found ready: true once it has completed (its
// event is then signalled), false when a write has more to hand over.
bool PosixEnginePlatform::Complete(Slot& slot, short revents) {
    if (slot.pending == Slot::Pending::CommEvent) {
        if (HasData(slot.port->fd.Get(), revents)) {
            slot.mask = kEvRxChar;
            slot.Finish(0);
        } else {
            RecordCause(SystemCause::Kind::Disconnected, 0, slot.port->path);
            slot.Finish(kErrorDeviceNotConnected);
        }
        return true;
    }
    while (slot.written < slot.size) {
        const ssize_t count =
            write(slot.port->fd.Get(), slot.Buffer() + slot.written, slot.size - slot.written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && errno == EAGAIN) {
            return false;
        }
        if (count < 0 && HungUp(errno)) {
            RecordCause(SystemCause::Kind::Disconnected, errno, slot.port->path);
            slot.stalled = true;
            return false;
        }
        if (count < 0) {
            RecordCause(SystemCause::Kind::Io, errno, slot.port->path);
            slot.Finish(Win32CodeOf(errno));
            return true;
        }
        slot.written += static_cast<uint32_t>(count);
        bytesWritten.fetch_add(static_cast<uint64_t>(count), std::memory_order_relaxed);
    }
    slot.Finish(0);
    return true;
}

// WaitForMultipleObjects on two handles with bWaitAll FALSE: the first wins when both are ready.
uint32_t PosixEnginePlatform::WaitForTwo(OsHandle firstHandle, OsHandle secondHandle, uint32_t timeoutMs) {
    std::shared_ptr<Event> events[2] = {Find<Event>(firstHandle), Find<Event>(secondHandle)};
    if (!events[0] || !events[1]) {
        return kWaitFailed;
    }
    // Events without a pending operation answer from their state, without a system call, when
    // one is set already or when the wait is a poll.
    auto settled = [](const Event& event) {
        return event.io == nullptr || event.io->pending == Slot::Pending::None;
    };
    if (settled(*events[0])) {
        if (events[0]->Signalled()) {
            return kWaitObject0;
        }
        if (settled(*events[1])) {
            if (events[1]->Signalled()) {
                return kWaitObject1;
            }
            if (timeoutMs == 0) {
                return kWaitTimeout;
            }
        }
    }
    const bool limited = timeoutMs != kInfinite;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
    for (;;) {
        pollfd fds[2];
        for (int i = 0; i < 2; ++i) {
            const Slot* io = events[i]->io;
            if (io != nullptr && io->stalled) {
                fds[i] = {events[i]->fd.Get(), POLLIN, 0}; // never signalled
            } else if (io != nullptr && io->pending == Slot::Pending::CommEvent) {
                fds[i] = {io->port->fd.Get(), POLLIN, 0};
            } else if (io != nullptr && io->pending == Slot::Pending::Write) {
                fds[i] = {io->port->fd.Get(), POLLOUT, 0};
            } else {
                fds[i] = {events[i]->fd.Get(), POLLIN, 0};
            }
        }
        const int ready = poll(fds, 2, Remaining(limited, deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            Fail(errno);
            return kWaitFailed;
        }
        if (ready == 0) {
            return kWaitTimeout;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            Slot* io = events[i]->io;
            if (io == nullptr || io->pending == Slot::Pending::None || Complete(*io, fds[i].revents)) {
                return i == 0 ? kWaitObject0 : kWaitObject1;
            }
        }
    }
}

std::unique_ptr<IIoSlot> PosixEnginePlatform::CreateIoSlot() {
    auto event = std::make_shared<Event>(false);
    OsHandle handle = Add(event);
    return std::make_unique<Slot>(*this, event, handle);
}

IoStart PosixEnginePlatform::WriteFile(OsHandle portHandle, IIoSlot& ioSlot, uint32_t size, uint32_t& error) {
    auto port = Find<Port>(portHandle);
    if (!port) {
        error = kErrorInvalidHandle;
        return IoStart::Failed;
    }
    Slot& slot = static_cast<Slot&>(ioSlot);
    slot.Start(Slot::Pending::Write, port);
    slot.written = 0;
    slot.size = std::min(size, IIoSlot::kBufferSize);
    if (!Complete(slot, POLLOUT)) {
        return IoStart::Pending;
    }
    if (slot.failure != 0) {
        error = lastError = slot.failure;
        return IoStart::Failed;
    }
    return IoStart::Done;
}

IoStart PosixEnginePlatform::WaitCommEvent(OsHandle portHandle, IIoSlot& ioSlot, uint32_t& error) {
    Slot& slot = static_cast<Slot&>(ioSlot);
    slot.mask = 0;
    auto port = Find<Port>(portHandle);
    if (!port) {
        error = kErrorInvalidHandle;
        return IoStart::Failed;
    }
    pollfd arrived{port->fd.Get(), POLLIN, 0};
    if (poll(&arrived, 1, 0) == 1 && HasData(arrived.fd, arrived.revents)) {
        slot.mask = kEvRxChar;
        return IoStart::Done;
    }
    // A line that has hung up already completes the wait at once with the failure, as one that
    // hangs up while the wait is pending does: the same report either way.
    slot.Start(Slot::Pending::CommEvent, port);
    if ((arrived.revents & kHangUp) != 0) {
        Complete(slot, arrived.revents);
    }
    return IoStart::Pending;
}

// The port never blocks a read: it returns what the driver holds, perhaps nothing.
IoStart PosixEnginePlatform::ReadFile(OsHandle portHandle, IIoSlot& ioSlot, uint32_t size,
                                      uint32_t& bytesRead, uint32_t& error) {
    bytesRead = 0;
    auto port = Find<Port>(portHandle);
    if (!port) {
        error = kErrorInvalidHandle;
        return IoStart::Failed;
    }
    for (;;) {
        const ssize_t count = read(port->fd.Get(), ioSlot.Buffer(), std::min(size, IIoSlot::kBufferSize));
        if (count >= 0) {
            bytesRead = static_cast<uint32_t>(count);
            return IoStart::Done;
        }
        if (errno == EAGAIN) {
            return IoStart::Done;
        }
        if (HungUp(errno)) {
            // Nothing more to read; the next wait for an event reports the disconnect.
            RecordCause(SystemCause::Kind::Disconnected, errno, port->path);
            return IoStart::Done;
        }
        if (errno != EINTR) {
            RecordCause(SystemCause::Kind::Io, errno, port->path);
            error = Fail(errno);
            return IoStart::Failed;
        }
    }
}

bool PosixEnginePlatform::GetOverlappedResult(OsHandle, IIoSlot& ioSlot, uint32_t& bytes, uint32_t& error) {
    Slot& slot = static_cast<Slot&>(ioSlot);
    if (slot.pending != Slot::Pending::None) {
        error = lastError = kErrorIoIncompleteCode;
        return false;
    }
    if (slot.failure != 0) {
        error = lastError = slot.failure;
        return false;
    }
    bytes = slot.mask != 0 ? sizeof(uint32_t) : slot.written;
    return true;
}

// Nothing of a pending operation lives in the system: the slot can always go.
bool PosixEnginePlatform::ReleaseIo(OsHandle, IIoSlot& ioSlot) {
    Slot& slot = static_cast<Slot&>(ioSlot);
    slot.pending = Slot::Pending::None;
    slot.port.reset();
    return true;
}

// Only regular files are step files; a FIFO or a device would block the read without a limit.
void PosixEnginePlatform::ServeFiles(
    std::unordered_map<std::string, std::shared_ptr<const std::string>> files) {
    std::lock_guard<std::mutex> lock(mutex);
    served = std::move(files);
}

OsHandle PosixEnginePlatform::OpenFileForReading(const std::string& path, uint32_t& error) {
    const std::string native = PosixFileSystem::NativePath(path);
    std::shared_ptr<const std::string> bytes;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = served.find(PosixFileSystem::AbsolutePath(native));
        bytes = found != served.end() ? found->second : nullptr;
    }
    if (bytes) {
        return Add(std::make_shared<File>(std::move(bytes)));
    }
    UniqueFd fd(open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat status {};
    if (!fd || fstat(fd.Get(), &status) != 0) {
        RecordCause(SystemCause::Kind::File, errno, native);
        error = Fail(errno);
        return nullptr;
    }
    if (!S_ISREG(status.st_mode)) {
        RecordCause(SystemCause::Kind::File, S_ISDIR(status.st_mode) ? EISDIR : EINVAL, native);
        error = lastError = kErrorAccessDenied;
        return nullptr;
    }
    return Add(std::make_shared<File>(std::move(fd)));
}

// GetFileSize: the low 32 bits.
uint32_t PosixEnginePlatform::FileSize(OsHandle handle) {
    auto file = Find<File>(handle);
    if (file && file->bytes) {
        return static_cast<uint32_t>(file->bytes->size());
    }
    struct stat status {};
    if (!file || fstat(file->fd.Get(), &status) != 0) {
        return 0xFFFFFFFF; // INVALID_FILE_SIZE
    }
    return static_cast<uint32_t>(static_cast<uint64_t>(status.st_size));
}

bool PosixEnginePlatform::ReadFileSync(OsHandle handle, uint8_t* buffer, uint32_t size, uint32_t& bytesRead,
                                       uint32_t& error) {
    bytesRead = 0;
    auto file = Find<File>(handle);
    if (!file) {
        error = kErrorInvalidHandle;
        return false;
    }
    if (file->bytes) {
        const size_t taken = std::min<size_t>(size, file->bytes->size() - file->next);
        std::copy_n(file->bytes->data() + file->next, taken, buffer);
        file->next += taken;
        bytesRead = static_cast<uint32_t>(taken);
        return true;
    }
    while (bytesRead < size) {
        if (file->next == file->end) {
            const ssize_t count = read(file->fd.Get(), file->buffer.data(), file->buffer.size());
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count < 0) {
                error = Fail(errno);
                return false;
            }
            if (count == 0) {
                break;
            }
            file->next = 0;
            file->end = static_cast<size_t>(count);
        }
        const size_t taken = std::min<size_t>(size - bytesRead, file->end - file->next);
        std::copy_n(file->buffer.data() + file->next, taken, buffer + bytesRead);
        file->next += taken;
        bytesRead += static_cast<uint32_t>(taken);
    }
    return true;
}

bool PosixEnginePlatform::RewindFile(OsHandle handle) {
    auto file = Find<File>(handle);
    if (!file || (!file->bytes && lseek(file->fd.Get(), 0, SEEK_SET) != 0)) {
        return false;
    }
    file->next = file->end = 0;
    return true;
}

// PostMessageA: refused once the owner has gone, as for a window that was destroyed.
bool PosixEnginePlatform::PostToWindow(OsHandle handle, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    auto window = Find<Window>(handle);
    std::shared_ptr<MessageQueue> queue = window ? window->queue.lock() : nullptr;
    if (!queue) {
        lastError = 1400; // ERROR_INVALID_WINDOW_HANDLE
        return false;
    }
    queue->Post({message, wParam, lParam});
    return true;
}

OsHandle PosixEnginePlatform::OpenPort(const std::string& name, uint32_t& error) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        cause = SystemCause();
    }
    SystemCause failure;
    std::shared_ptr<SerialDevice> device = SerialDevice::Open(name, error, failure);
    UniqueFd own(device ? fcntl(device->Fd(), F_DUPFD_CLOEXEC, 0) : -1);
    if (device && !own) {
        error = Win32CodeOf(errno);
        failure = {SystemCause::Kind::Open, errno, failure.path, std::string()};
    }
    if (!own) {
        lastError = error;
        RecordCause(failure);
        return nullptr;
    }
    return Add(std::make_shared<Port>(std::move(own), std::move(device), failure.path));
}

PortSetupCall PosixEnginePlatform::ConfigurePort(OsHandle handle, const PortSettings& settings,
                                                 uint32_t& error) {
    auto port = Find<Port>(handle);
    if (!port) {
        error = kErrorInvalidHandle;
        return PortSetupCall::SetCommMask;
    }
    SystemCause failure;
    PortSetupCall failed = port->device->Configure(settings, error, failure);
    if (failed != PortSetupCall::None) {
        RecordCause(failure);
    }
    return failed;
}

// A handle of the thread's own: the same open port, so the lock stays until the last one goes.
OsHandle PosixEnginePlatform::DuplicatePortHandle(OsHandle handle) {
    auto port = Find<Port>(handle);
    if (!port) {
        return nullptr;
    }
    UniqueFd own(fcntl(port->fd.Get(), F_DUPFD_CLOEXEC, 0));
    if (!own) {
        Fail(errno);
        return nullptr;
    }
    return Add(std::make_shared<Port>(std::move(own), port->device, port->path));
}

// The threads keep their normal priority: the owner's thread only turns messages into lines,
// and a lower priority would delay the acknowledge path behind it.
OsHandle PosixEnginePlatform::StartThread(std::function<void()> body, uint32_t& threadId) {
    auto thread = std::make_shared<Thread>();
    if (!thread->end->fd) {
        Fail(errno);
        return nullptr;
    }
    std::shared_ptr<Thread::End> end = thread->end;
    try {
        thread->thread = std::thread([end, body = std::move(body)]() mutable {
            body();
            body = nullptr; // what the thread held goes before it counts as ended
            SignalEventFd(end->fd.Get());
        });
    } catch (const std::system_error& failure) {
        Fail(failure.code().value());
        return nullptr;
    }
    threadId = nextThreadId.fetch_add(1);
    return Add(thread);
}

// WaitForMultipleObjects with bWaitAll TRUE: every thread has ended, or the time is up.
uint32_t PosixEnginePlatform::WaitForThreads(const OsHandle* handles, uint32_t count, uint32_t timeoutMs) {
    std::vector<std::shared_ptr<Thread>> threads;
    for (uint32_t i = 0; i < count; ++i) {
        auto thread = Find<Thread>(handles[i]);
        if (!thread) {
            return kWaitFailed;
        }
        threads.push_back(thread);
    }
    const bool limited = timeoutMs != kInfinite;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
    for (const auto& thread : threads) {
        pollfd ended{thread->end->fd.Get(), POLLIN, 0};
        int ready = 0;
        while ((ready = poll(&ended, 1, Remaining(limited, deadline))) < 0 && errno == EINTR) {
        }
        if (ready < 0) {
            Fail(errno);
            return kWaitFailed;
        }
        if (ready == 0) {
            return kWaitTimeout;
        }
    }
    return kWaitObject0;
}
