#pragma once

#include <cstdint>

// The engine speaks Win32 error codes: they appear in its texts ("Code = %d", "Code=%x") and in
// its tests. The POSIX edge maps each errno once, here, to the Win32 code of the same meaning:
//
//   errno                        Win32 code
//   ENOENT                       2     ERROR_FILE_NOT_FOUND
//   ENOTDIR, ENAMETOOLONG        3     ERROR_PATH_NOT_FOUND
//   EMFILE, ENFILE               4     ERROR_TOO_MANY_OPEN_FILES
//   EACCES, EPERM, EISDIR, EROFS 5     ERROR_ACCESS_DENIED
//   EBADF                        6     ERROR_INVALID_HANDLE
//   ENOMEM                       8     ERROR_NOT_ENOUGH_MEMORY
//   EWOULDBLOCK from flock       32    ERROR_SHARING_VIOLATION (the port is held by another program)
//   ENOSPC                       112   ERROR_DISK_FULL
//   EINVAL, a speed not taken    87    ERROR_INVALID_PARAMETER
//   ENOTTY (not a serial port)   1     ERROR_INVALID_FUNCTION
//   EBUSY                        170   ERROR_BUSY
//   ETIMEDOUT                    1460  ERROR_TIMEOUT
//   EIO                          1117  ERROR_IO_DEVICE
//   ENXIO, ENODEV, a hang-up     1167  ERROR_DEVICE_NOT_CONNECTED (the adapter was unplugged)
//   anything else                31    ERROR_GEN_FAILURE
//
// Events of the line without a POSIX twin: EV_BREAK and EV_ERR are never signalled. In raw mode
// a break or a framing error reaches the host as a 0x00 byte, which shows as device output "~00".
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorIoDevice = 1117;
constexpr uint32_t kErrorDeviceNotConnected = 1167;

uint32_t Win32CodeOf(int posixError);
