#include "engine/posix/SerialDevice.h"

#include "config/FileSystem.h"
#include "engine/posix/PortUsers.h"
#include "engine/posix/PosixErrors.h"

// termios2 gives any speed (14400 has no Bnnn constant); it cannot share a unit with <termios.h>.
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>

struct SerialDevice::SavedSerial {
    serial_struct settings{};
};

namespace {

constexpr uint32_t kSpeedTolerancePercent = 3; // what a UART tolerates of the other side

bool SetFraming(termios2& mode, const PortSettings& settings) {
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    if (settings.dataSize < 5 || settings.dataSize > 8 || settings.parity > 4 || settings.stopBits > 2) {
        return false;
    }
    mode.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD);
    mode.c_cflag |= sizes[settings.dataSize - 5] | CREAD | CLOCAL | BOTHER;
    switch (settings.parity) {
    case 1: // odd
        mode.c_cflag |= PARENB | PARODD;
        break;
    case 2: // even
        mode.c_cflag |= PARENB;
        break;
    case 3: // mark
        mode.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case 4: // space
        mode.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (settings.stopBits != 0) { // one and a half (5 data bits) and two both set CSTOPB
        mode.c_cflag |= CSTOPB;
    }
    mode.c_ispeed = settings.baudRate;
    mode.c_ospeed = settings.baudRate;
    return true;
}

// Raw bytes both ways, no flow control; reads return at once with what the driver holds.
void SetRaw(termios2& mode) {
    mode.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    mode.c_oflag &= ~OPOST;
    mode.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    mode.c_cc[VMIN] = 0;
    mode.c_cc[VTIME] = 0;
}

bool SpeedTaken(uint32_t wanted, uint32_t got) {
    uint64_t difference = wanted > got ? wanted - got : got - wanted;
    return difference * 100 <= uint64_t(wanted) * kSpeedTolerancePercent;
}

PortSetupCall Failed(PortSetupCall call, uint32_t& error, SystemCause& cause, const std::string& path) {
    cause.kind = errno == ENOTTY ? SystemCause::Kind::NotSerial : SystemCause::Kind::Setup;
    cause.error = errno;
    cause.path = path;
    error = Win32CodeOf(errno);
    return call;
}

// Who may open a device that we may not: its group, as "group dialout".
std::string AccessHint(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || (status.st_mode & S_IRWXG) == 0) {
        return std::string();
    }
    const group* owner = getgrgid(status.st_gid);
    return owner != nullptr ? "open to the members of group " + std::string(owner->gr_name) : std::string();
}

} // namespace

SerialDevice::SerialDevice(UniqueFd fd, std::string path) : fd(std::move(fd)), path(std::move(path)) {}

SerialDevice::~SerialDevice() {
    if (savedSerial) {
        ioctl(fd.Get(), TIOCSSERIAL, &savedSerial->settings);
    }
    if (exclusive) {
        ioctl(fd.Get(), TIOCNXCL);
    }
}

std::unique_ptr<SerialDevice> SerialDevice::Open(const std::string& path, uint32_t& error,
                                                 SystemCause& cause) {
    const std::string native = PosixFileSystem::NativePath(path);
    cause.path = native;
    UniqueFd fd(open(native.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        cause.kind = SystemCause::Kind::Open;
        cause.error = errno;
        error = Win32CodeOf(errno);
        if (cause.error == EACCES || cause.error == EPERM) {
            cause.detail = AccessHint(native);
        }
        return nullptr;
    }
    if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        cause.error = errno;
        error = Win32CodeOf(cause.error);
        cause.kind = cause.error == EWOULDBLOCK ? SystemCause::Kind::Locked : SystemCause::Kind::Open;
        if (cause.error == EWOULDBLOCK) {
            cause.detail = LockHolder(fd.Get());
        }
        return nullptr;
    }
    std::unique_ptr<SerialDevice> device(new SerialDevice(std::move(fd), native));
    device->TakeExclusive();
    return device;
}

// Other programs take no lock (minicom): while we hold the port, the driver refuses their opens
// (root's aside). A device that refuses exclusive mode is still usable; one already exclusive
// (root may open it) keeps its mode when we leave.
void SerialDevice::TakeExclusive() {
    int already = 0;
    exclusive = ioctl(fd.Get(), TIOCGEXCL, &already) == 0 && already == 0 && ioctl(fd.Get(), TIOCEXCL) == 0;
}

PortSetupCall SerialDevice::Configure(const PortSettings& settings, uint32_t& error, SystemCause& cause) {
    termios2 mode{};
    if (ioctl(fd.Get(), TCGETS2, &mode) != 0) {
        return Failed(PortSetupCall::SetCommMask, error, cause, path);
    }
    if (ioctl(fd.Get(), TCFLSH, TCIOFLUSH) != 0) {
        return Failed(PortSetupCall::PurgeComm, error, cause, path);
    }
    SetRaw(mode);
    if (!SetFraming(mode, settings)) {
        errno = EINVAL;
        return Failed(PortSetupCall::SetCommState, error, cause, path);
    }
    if (ioctl(fd.Get(), TCSETS2, &mode) != 0) {
        return Failed(PortSetupCall::SetCommState, error, cause, path);
    }
    termios2 taken{};
    if (ioctl(fd.Get(), TCGETS2, &taken) != 0) {
        return Failed(PortSetupCall::SetCommState, error, cause, path);
    }
    if (!SpeedTaken(settings.baudRate, taken.c_ospeed)) {
        error = kErrorInvalidParameter;
        cause = {SystemCause::Kind::SpeedRefused, 0, path,
                 "asked for " + std::to_string(settings.baudRate) + ", it set " +
                     std::to_string(taken.c_ospeed)};
        return PortSetupCall::SetCommState;
    }
    // DTR and RTS on, as the Windows program asks; a pty has no modem lines.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd.Get(), TIOCMBIS, &lines);
    RequestLowLatency();
    return PortSetupCall::None;
}

// USB serial adapters hold received bytes back for a latency timer (often 16 ms), which every
// acknowledge would pay. Drivers that refuse (a pty) are left as they are.
void SerialDevice::RequestLowLatency() {
    if (savedSerial) {
        return;
    }
    auto saved = std::make_unique<SavedSerial>();
    if (ioctl(fd.Get(), TIOCGSERIAL, &saved->settings) != 0 ||
        (saved->settings.flags & ASYNC_LOW_LATENCY) != 0) {
        return;
    }
    serial_struct low = saved->settings;
    low.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd.Get(), TIOCSSERIAL, &low) == 0) {
        savedSerial = std::move(saved);
    }
}

// The holder of a lock, found by the device and inode of the locked file.
std::string SerialDevice::LockHolder(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        return std::string();
    }
    const std::optional<PortUser> holder = LockHolderOf(status.st_dev, status.st_ino);
    return holder ? DescribePortUser(*holder) : std::string();
}
