#include "engine/posix/PosixErrors.h"

#include <cerrno>

uint32_t Win32CodeOf(int posixError) {
    switch (posixError) {
    case 0:
        return 0;
    case ENOENT:
        return kErrorFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
        return 3;
    case EMFILE:
    case ENFILE:
        return 4;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return kErrorAccessDenied;
    case EBADF:
        return kErrorInvalidHandle;
    case ENOMEM:
        return 8;
    case EWOULDBLOCK:
        return kErrorSharingViolation;
    case ENOSPC:
        return 112;
    case EINVAL:
        return kErrorInvalidParameter;
    case ENOTTY:
        return kErrorInvalidFunction;
    case EBUSY:
        return 170;
    case ETIMEDOUT:
        return 1460;
    case EIO:
        return kErrorIoDevice;
    case ENXIO:
    case ENODEV:
        return kErrorDeviceNotConnected;
    default:
        return 31;
    }
}
