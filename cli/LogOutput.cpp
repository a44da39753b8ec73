#include "cli/LogOutput.h"

#include "app/TextFormat.h"
#include "engine/posix/UniqueFd.h"
#include "ui/LogFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Directory(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = write(fd, bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        done += static_cast<size_t>(count);
    }
    return true;
}

std::string Reason(const std::string& path) {
    return path + ": " + std::strerror(errno);
}

} // namespace

std::string LocaleDateTime(std::time_t moment) {
    std::tm local{};
    if (moment == 0 || localtime_r(&moment, &local) == nullptr) {
        return std::string();
    }
    locale_t user = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(nullptr));
    if (user == static_cast<locale_t>(nullptr)) {
        user = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(nullptr));
    }
    char date[64] = "";
    char clock[64] = "";
    strftime_l(date, sizeof date, "%x", &local, user);
    strftime_l(clock, sizeof clock, "%X", &local, user);
    freelocale(user);
    return FormatText("%s * %s", {date, clock});
}

bool LogWritable(const std::string& path, std::string& reason) {
    struct stat status {};
    if (stat(path.c_str(), &status) == 0) {
        if (!S_ISREG(status.st_mode)) {
            reason = path + ": not a regular file";
            return false;
        }
        if (access(path.c_str(), W_OK) != 0) {
            reason = Reason(path);
            return false;
        }
    }
    const std::string folder = Directory(path);
    if (access(folder.c_str(), W_OK) != 0) {
        reason = Reason(folder);
        return false;
    }
    return true;
}

bool WriteLogRecordFile(const std::string& path, bool append, const std::string& record,
                        std::string& reason) {
    if (append) {
        UniqueFd existing(open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
        if (existing) {
            if (!WriteAll(existing.Get(), kLogRunSeparator + record)) {
                reason = Reason(path);
                return false;
            }
            return true;
        }
    }
    const std::string temporary =
        path + ".tmp" + std::to_string(getpid()) + "." + std::to_string(std::time(nullptr));
    UniqueFd fresh(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fresh) {
        reason = Reason(temporary);
        return false;
    }
    const bool written = WriteAll(fresh.Get(), record) && fsync(fresh.Get()) == 0;
    const int error = errno;
    fresh.Reset();
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        errno = written ? errno : error;
        reason = Reason(path);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}
