#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

// Who uses a serial port, as the kernel tells it under /proc. Readers take the folder that
// stands for /proc, so that tests can give a fake one.

// A process that uses a port: its id and its name (/proc/<pid>/comm).
struct PortUser {
    long pid = 0;
    std::string name;
};

// A small file of the kernel (a sysfs attribute, /proc/<pid>/comm), read without waiting: at most
// `limit` bytes of a regular file, its final line end removed. None when it cannot be read.
std::optional<std::string> ReadKernelText(const std::string& path, size_t limit = 256);

// The name of a process, from <procRoot>/<pid>/comm; empty when the process has gone.
std::string ProcessName(long pid, const std::string& procRoot = "/proc");

// The process holding a lock (flock or POSIX) on the file with this device and inode, as
// <procRoot>/locks names it. None when the file is not locked, or when its holder lives in
// another pid namespace (the kernel shows it as 0, and an open file description lock as -1).
std::optional<PortUser> LockHolderOf(dev_t device, ino_t inode, const std::string& procRoot = "/proc");

// Text with its control characters shown as '?', so that a name a process gave itself cannot
// move the cursor or recolour the terminal it is printed on.
std::string PrintableText(const std::string& text);

// A process as messages name it: "process 1234 (minicom)".
std::string DescribePortUser(const PortUser& user);
