#include "engine/posix/SystemCause.h"

#include <cerrno>
#include <cstring>

namespace {

std::string ErrnoText(int error) {
    return error != 0 ? std::string(std::strerror(error)) : std::string("unknown cause");
}

} // namespace

std::string DescribeCause(const SystemCause& cause) {
    const std::string where = cause.path + ": ";
    switch (cause.kind) {
    case SystemCause::Kind::None:
        return std::string();
    case SystemCause::Kind::Locked:
        return where + "in use by " + (cause.detail.empty() ? std::string("another program") : cause.detail);
    case SystemCause::Kind::NotSerial:
        return where + "not a serial port (" + ErrnoText(cause.error) + ")";
    case SystemCause::Kind::SpeedRefused:
        return where + "the driver does not take the baud rate (" + cause.detail + ")";
    case SystemCause::Kind::Setup:
        return where + "the line settings were refused (" + ErrnoText(cause.error) + ")";
    case SystemCause::Kind::Disconnected:
        return where + "the device was disconnected";
    case SystemCause::Kind::Open:
        if (cause.error == EACCES || cause.error == EPERM) {
            return where + ErrnoText(cause.error) +
                   (cause.detail.empty() ? std::string() : " (" + cause.detail + ")");
        }
        return where + ErrnoText(cause.error);
    case SystemCause::Kind::Io:
    case SystemCause::Kind::File:
        return where + ErrnoText(cause.error);
    }
    return where + ErrnoText(cause.error);
}
