#pragma once

#include <string>

// A failure with a system cause as the POSIX edge saw it. The engine reports a Win32 code for
// the catalogue texts of the log; this keeps the errno and the path beside it, so that the user
// is told in Linux words what went wrong.
struct SystemCause {
    enum class Kind {
        None,
        Open,         // the device could not be opened
        Locked,       // another program holds its lock
        NotSerial,    // it is no terminal (ENOTTY)
        Setup,        // the line settings were refused
        SpeedRefused, // the driver set another speed than asked
        Disconnected, // the line hung up: the adapter was unplugged
        Io,           // a read or write failed otherwise
        File,         // a step file could not be opened or read
    };
    Kind kind = Kind::None;
    int error = 0;      // errno; 0 where there is none
    std::string path;   // the device or the file
    std::string detail; // the lock holder ("process 1234 (minicom)"), the speed the driver set
};

// One line for standard error that names the path and says what happened in Linux words:
// "/dev/null: not a serial port (Inappropriate ioctl for device)",
// "/dev/ttyUSB0: the device was disconnected", "/dev/ttyUSB0: in use by process 1234 (minicom)".
std::string DescribeCause(const SystemCause& cause);
