#pragma once

#include "engine/EnginePlatform.h"

#include <windows.h>

// The engine's platform on Win32: the calls and arguments the download engine names, plus
// what the engine needs to end safely (its own port handle per thread, cancellation of a
// pending operation before its OVERLAPPED goes).
class Win32EnginePlatform : public IEnginePlatform {
public:
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

    // The device name CreateFileA needs: "\\.\" in front unless the name has it already, so
    // that COM10 and above open as well.
    static std::string DevicePath(const std::string& portName);
    // The device control block for a transfer, from what GetCommState gave.
    static void ApplySettings(DCB& dcb, const PortSettings& settings);
};
