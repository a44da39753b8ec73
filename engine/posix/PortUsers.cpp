#include "engine/posix/PortUsers.h"

#include "engine/posix/UniqueFd.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

std::optional<std::string> ReadKernelText(const std::string& path, size_t limit) {
    // Non-blocking, and only a regular file: a FIFO put where an attribute should be never waits.
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat status {};
    if (!fd || fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    std::string text(limit, '\0');
    size_t got = 0;
    while (got < limit) {
        const ssize_t n = read(fd.Get(), text.data() + got, limit - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && got == 0) {
            return std::nullopt;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    text.resize(got);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

std::string ProcessName(long pid, const std::string& procRoot) {
    return ReadKernelText(procRoot + "/" + std::to_string(pid) + "/comm").value_or(std::string());
}

// /proc/locks names a locked file by the device of its file system and its inode:
// "1: FLOCK  ADVISORY  WRITE 1234 00:19:3 0 EOF". A process waiting for the lock has a line
// "1: -> FLOCK  ADVISORY  WRITE 1235 00:19:3 0 EOF", which does not read as a holder.
std::optional<PortUser> LockHolderOf(dev_t device, ino_t inode, const std::string& procRoot) {
    char file[64];
    std::snprintf(file, sizeof file, "%02x:%02x:%llu", major(device), minor(device),
                  static_cast<unsigned long long>(inode));
    std::ifstream locks(procRoot + "/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string id, kind, mode, access, where;
        long pid = 0;
        if (fields >> id >> kind >> mode >> access >> pid >> where && where == file && pid > 0) {
            return PortUser{pid, ProcessName(pid, procRoot)};
        }
    }
    return std::nullopt;
}

std::string PrintableText(const std::string& text) {
    std::string shown = text;
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = '?';
        }
    }
    return shown;
}

std::string DescribePortUser(const PortUser& user) {
    return "process " + std::to_string(user.pid) +
           (user.name.empty() ? std::string() : " (" + PrintableText(user.name) + ")");
}
