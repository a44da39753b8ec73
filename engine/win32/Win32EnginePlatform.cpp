#include "engine/win32/Win32EnginePlatform.h"

#include <vector>

namespace {

constexpr DWORD kReleaseWaitMs = 2000;
constexpr DWORD kQueueSize = 4096;
constexpr DWORD kStatusSettleMs = 50;

class Win32IoSlot : public IIoSlot {
public:
    Win32IoSlot() { overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Win32IoSlot() override {
        if (overlapped.hEvent != nullptr) {
            ::CloseHandle(overlapped.hEvent);
        }
    }
    Win32IoSlot(const Win32IoSlot&) = delete;
    Win32IoSlot& operator=(const Win32IoSlot&) = delete;

    OsHandle CompletionEvent() const override { return overlapped.hEvent; }
    uint8_t* Buffer() override { return buffer; }
    uint32_t EventMask() const override { return mask; }

    // A fresh operation: offsets 0, status cleared, the event reset. The system resets the
    // event itself, but Wine's WaitCommEvent may leave it as the last completion set it,
    // and a wait would then take the new, still pending operation for done.
    OVERLAPPED* Start() {
        ::ResetEvent(overlapped.hEvent);
        overlapped.Internal = 0;
        overlapped.InternalHigh = 0;
        overlapped.Offset = 0;
        overlapped.OffsetHigh = 0;
        return &overlapped;
    }
    OVERLAPPED* Get() { return &overlapped; }

    DWORD mask = 0;
    bool waitingForEvent = false; // the last operation was WaitCommEvent

private:
    OVERLAPPED overlapped{};
    uint8_t buffer[kBufferSize] = {};
};

Win32IoSlot& Slot(IIoSlot& slot) {
    return static_cast<Win32IoSlot&>(slot);
}

IoStart Started(BOOL result, uint32_t& error) {
    if (result) {
        return IoStart::Done;
    }
    DWORD code = ::GetLastError();
    if (code == ERROR_IO_PENDING) {
        return IoStart::Pending;
    }
    error = code;
    return IoStart::Failed;
}

DWORD WINAPI ThreadEntry(LPVOID parameter) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(parameter));
    (*body)();
    return 0;
}

} // namespace

OsHandle Win32EnginePlatform::CreateManualEvent(bool signalled) {
    return ::CreateEventA(nullptr, TRUE, signalled ? TRUE : FALSE, nullptr);
}

void Win32EnginePlatform::SetEvent(OsHandle event) {
    ::SetEvent(event);
}

void Win32EnginePlatform::ResetEvent(OsHandle event) {
    ::ResetEvent(event);
}

void Win32EnginePlatform::CloseHandle(OsHandle handle) {
    ::CloseHandle(handle);
}

uint32_t Win32EnginePlatform::WaitForTwo(OsHandle first, OsHandle second, uint32_t timeoutMs) {
    HANDLE handles[2] = {first, second};
    return ::WaitForMultipleObjects(2, handles, FALSE, timeoutMs);
}

uint32_t Win32EnginePlatform::LastError() {
    return ::GetLastError();
}

std::unique_ptr<IIoSlot> Win32EnginePlatform::CreateIoSlot() {
    return std::make_unique<Win32IoSlot>();
}

IoStart Win32EnginePlatform::WriteFile(OsHandle port, IIoSlot& slot, uint32_t size, uint32_t& error) {
    Win32IoSlot& own = Slot(slot);
    own.waitingForEvent = false;
    DWORD written = 0;
    return Started(::WriteFile(port, own.Buffer(), size, &written, own.Start()), error);
}

IoStart Win32EnginePlatform::WaitCommEvent(OsHandle port, IIoSlot& slot, uint32_t& error) {
    Win32IoSlot& own = Slot(slot);
    own.mask = 0;
    own.waitingForEvent = true;
    return Started(::WaitCommEvent(port, &own.mask, own.Start()), error);
}

IoStart Win32EnginePlatform::ReadFile(OsHandle port, IIoSlot& slot, uint32_t size, uint32_t& bytesRead,
                                      uint32_t& error) {
    Win32IoSlot& own = Slot(slot);
    own.waitingForEvent = false;
    DWORD count = 0;
    IoStart start = Started(::ReadFile(port, own.Buffer(), size, &count, own.Start()), error);
    bytesRead = start == IoStart::Done ? count : 0;
    return start;
}

// Without waiting. Two things of Wine's serial driver are allowed for here: it may set the
// completion event a moment before it writes the operation's status, and a WaitCommEvent that
// it reports as pending may deliver its event mask and set the event without ever writing the
// status. An event that has set the mask has arrived (the mask is cleared before each call).
bool Win32EnginePlatform::GetOverlappedResult(OsHandle port, IIoSlot& slot, uint32_t& bytes,
                                              uint32_t& error) {
    Win32IoSlot& own = Slot(slot);
    for (DWORD settle = 0;; ++settle) {
        DWORD count = 0;
        if (::GetOverlappedResult(port, own.Get(), &count, FALSE)) {
            bytes = count;
            return true;
        }
        error = ::GetLastError();
        if (error == ERROR_IO_INCOMPLETE && own.waitingForEvent && own.mask != 0 &&
            ::WaitForSingleObject(own.CompletionEvent(), 0) == WAIT_OBJECT_0) {
            own.Get()->Internal = 0; // STATUS_SUCCESS: nothing of the operation is left pending
            bytes = sizeof(DWORD);
            return true;
        }
        if (error != ERROR_IO_INCOMPLETE || settle >= kStatusSettleMs) {
            return false;
        }
        ::Sleep(1);
    }
}

bool Win32EnginePlatform::ReleaseIo(OsHandle port, IIoSlot& slot) {
    Win32IoSlot& own = Slot(slot);
    if (HasOverlappedIoCompleted(own.Get())) {
        return true;
    }
    ::CancelIoEx(port, own.Get());
    if (own.waitingForEvent) {
        // Setting the event mask ends a pending WaitCommEvent; Wine cannot cancel one otherwise.
        DWORD mask = 0;
        if (::GetCommMask(port, &mask)) {
            ::SetCommMask(port, mask);
        }
    }
    return ::WaitForSingleObject(own.CompletionEvent(), kReleaseWaitMs) == WAIT_OBJECT_0 &&
           HasOverlappedIoCompleted(own.Get());
}

OsHandle Win32EnginePlatform::OpenFileForReading(const std::string& path, uint32_t& error) {
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = ::GetLastError();
        return nullptr;
    }
    return file;
}

uint32_t Win32EnginePlatform::FileSize(OsHandle file) {
    return ::GetFileSize(file, nullptr);
}

bool Win32EnginePlatform::ReadFileSync(OsHandle file, uint8_t* buffer, uint32_t size, uint32_t& bytesRead,
                                       uint32_t& error) {
    DWORD count = 0;
    if (!::ReadFile(file, buffer, size, &count, nullptr)) {
        error = ::GetLastError();
        bytesRead = 0;
        return false;
    }
    bytesRead = count;
    return true;
}

bool Win32EnginePlatform::RewindFile(OsHandle file) {
    return ::SetFilePointer(file, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER;
}

bool Win32EnginePlatform::PostToWindow(OsHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return ::PostMessageA(static_cast<HWND>(window), message, wParam, lParam) != FALSE;
}

std::string Win32EnginePlatform::DevicePath(const std::string& portName) {
    if (portName.rfind("\\\\.\\", 0) == 0 || portName.rfind("\\\\?\\", 0) == 0) {
        return portName;
    }
    return "\\\\.\\" + portName;
}

OsHandle Win32EnginePlatform::OpenPort(const std::string& name, uint32_t& error) {
    HANDLE port = ::CreateFileA(DevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        error = ::GetLastError();
        return nullptr;
    }
    return port;
}

void Win32EnginePlatform::ApplySettings(DCB& dcb, const PortSettings& settings) {
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = settings.baudRate;
    dcb.ByteSize = settings.dataSize;
    dcb.Parity = settings.parity;
    dcb.StopBits = settings.stopBits;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 1;
    dcb.XonLim = 100;
    dcb.XoffLim = 100;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0;
    dcb.EvtChar = 0;
}

PortSetupCall Win32EnginePlatform::ConfigurePort(OsHandle port, const PortSettings& settings,
                                                 uint32_t& error) {
    auto failed = [&error](PortSetupCall call) {
        error = ::GetLastError();
        return call;
    };
    if (!::SetCommMask(port, EV_RXCHAR | EV_BREAK | EV_ERR)) {
        return failed(PortSetupCall::SetCommMask);
    }
    if (!::SetupComm(port, kQueueSize, kQueueSize)) {
        return failed(PortSetupCall::SetupComm);
    }
    if (!::PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
        return failed(PortSetupCall::PurgeComm);
    }
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 5000;
    if (!::SetCommTimeouts(port, &timeouts)) {
        return failed(PortSetupCall::SetCommTimeouts);
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    ::GetCommState(port, &dcb); // its result is not tested: the fields below are all set
    ApplySettings(dcb, settings);
    if (!::SetCommState(port, &dcb)) {
        return failed(PortSetupCall::SetCommState);
    }
    return PortSetupCall::None;
}

OsHandle Win32EnginePlatform::DuplicatePortHandle(OsHandle port) {
    HANDLE own = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), port, ::GetCurrentProcess(), &own, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return own;
}

OsHandle Win32EnginePlatform::StartThread(std::function<void()> body, uint32_t& threadId) {
    auto parameter = std::make_unique<std::function<void()>>(std::move(body));
    DWORD id = 0;
    HANDLE thread = ::CreateThread(nullptr, 0, ThreadEntry, parameter.get(), 0, &id);
    if (thread == nullptr) {
        return nullptr;
    }
    static_cast<void>(parameter.release()); // the thread owns it now
    ::SetThreadPriority(thread, THREAD_PRIORITY_BELOW_NORMAL);
    threadId = id;
    return thread;
}

uint32_t Win32EnginePlatform::WaitForThreads(const OsHandle* threads, uint32_t count, uint32_t timeoutMs) {
    std::vector<HANDLE> handles(threads, threads + count);
    return ::WaitForMultipleObjects(count, handles.data(), TRUE, timeoutMs);
}
