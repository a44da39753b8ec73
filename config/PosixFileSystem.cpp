#include "config/FileSystem.h"

#ifndef _WIN32
#include <fcntl.h>
#include <glob.h>
#include <unistd.h>

std::string PosixFileSystem::NativePath(const std::string& path) {
    std::string native = path;
    for (char& c : native) {
        if (c == '\\') {
            c = '/';
        }
    }
    return native;
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
    int fd = open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}
#endif
