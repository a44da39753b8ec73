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
    return FolderWritable(Directory(path), reason);
}

// access() answers yes to root for every folder, /proc and read-only mounts too: a file is made
// there and removed again.
bool FolderWritable(const std::string& folder, std::string& reason) {
    std::string probe = folder + "/.tovrin-XXXXXX";
    const UniqueFd fd(mkstemp(probe.data()));
    if (!fd) {
        reason = Reason(folder);
        return false;
    }
    unlink(probe.c_str());
    return true;
}

LiveLog::~LiveLog() {
    Close();
}

void LiveLog::Close() {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

bool LiveLog::Fail(const std::string& what) {
    if (failure.empty()) {
        failure = Reason(what);
    }
    Close();
    return false;
}

bool LiveLog::Open(const std::string& file, LogOpening opening) {
    path = file;
    if (opening == LogOpening::Append) {
        fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd >= 0) {
            return WriteAll(fd, kLogRunSeparator) || Fail(path);
        }
    }
    const int fresh = opening == LogOpening::New ? O_EXCL : O_TRUNC;
    fd = open(path.c_str(), O_WRONLY | O_CREAT | fresh | O_APPEND | O_CLOEXEC, 0666);
    return fd >= 0 || Fail(path);
}

bool LiveLog::Write(const std::string& bytes) {
    if (fd < 0) {
        return false;
    }
    if (!WriteAll(fd, bytes)) {
        return Fail(path);
    }
    record += bytes;
    return true;
}

bool LiveLog::Finish() {
    if (fd < 0) {
        return false;
    }
    const bool synced = fdatasync(fd) == 0 || Fail(path);
    Close();
    return synced;
}
