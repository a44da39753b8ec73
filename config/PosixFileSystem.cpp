#include "config/FileSystem.h"

#ifndef _WIN32
#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// An open file descriptor, closed when it goes.
struct Descriptor {
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    const int fd;
};
} // namespace

std::string PosixFileSystem::NativePath(const std::string& path) {
    std::string native = path;
    for (char& c : native) {
        if (c == '\\') {
            c = '/';
        }
    }
    return native;
}

std::string PosixFileSystem::AbsolutePath(const std::string& path) {
    if (path.empty() || path[0] == '/') {
        return path;
    }
    char folder[4096];
    if (getcwd(folder, sizeof folder) == nullptr) {
        return path;
    }
    std::string relative = path;
    while (relative.rfind("./", 0) == 0) {
        relative.erase(0, 2);
    }
    return std::string(folder) + "/" + relative;
}

bool PosixFileSystem::FileExists(const std::string& path) const {
    if (path.empty()) {
        return false;
    }
    glob_t found{};
    int result = glob(NativePath(path).c_str(), GLOB_NOSORT, nullptr, &found);
    bool exists = result == 0 && found.gl_pathc > 0;
    globfree(&found);
    return exists;
}

bool PosixFileSystem::FileReadable(const std::string& path) const {
    if (path.empty()) {
        return false;
    }
    // Non-blocking, so that a FIFO does not wait for a writer; only a regular file is one to send,
    // as CreateFileA refuses a folder.
    const Descriptor file(open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat status {};
    return file.fd >= 0 && fstat(file.fd, &status) == 0 && S_ISREG(status.st_mode);
}
#endif
