#pragma once

#include "engine/EnginePlatform.h"
#include "engine/posix/SystemCause.h"
#include "engine/posix/UniqueFd.h"

#include <cstdint>
#include <memory>
#include <string>

// A serial device opened for one transfer: its descriptor with an exclusive lock, the raw line
// settings of the transfer, and the driver's low-latency mode while we hold it. Closing it (the
// last handle of the port) gives the lock back and restores the driver's latency setting.
class SerialDevice {
public:
    // Opens the device for reading and writing, non-blocking, without making it our controlling
    // terminal, locks it as other serial tools do (flock) and makes it exclusive (TIOCEXCL) while
    // we hold it. Null on failure, with the Win32 code and the system's cause (for a locked port:
    // who holds it, if known).
    static std::unique_ptr<SerialDevice> Open(const std::string& path, uint32_t& error, SystemCause& cause);
    ~SerialDevice();
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    int Fd() const { return fd.Get(); }

    // The five set-up calls of the Windows port, as termios gives them:
    //   SetCommMask      reading the line settings (fails on anything that is no terminal)
    //   SetupComm        nothing: the driver's queues have their own size
    //   PurgeComm        flushing both directions
    //   SetCommTimeouts  nothing: reads never block (VMIN 0, VTIME 0, non-blocking descriptor)
    //   SetCommState     raw mode, the speed, data bits, parity and stop bits, no flow control,
    //                    then reading back that the driver took the speed (within 3 %)
    // Afterwards it asks the driver for low latency, where the driver allows it.
    PortSetupCall Configure(const PortSettings& settings, uint32_t& error, SystemCause& cause);

    // The process that holds a lock on the file, as "process 1234 (minicom)", or empty.
    static std::string LockHolder(int fd);

private:
    SerialDevice(UniqueFd fd, std::string path);
    void RequestLowLatency();
    void TakeExclusive();

    struct SavedSerial;
    UniqueFd fd;
    std::string path;
    std::unique_ptr<SavedSerial> savedSerial; // the driver's setting before we asked for low latency
    bool exclusive = false;                   // we set TIOCEXCL and clear it when we close
};
