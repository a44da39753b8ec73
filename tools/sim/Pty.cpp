#include "tools/sim/Pty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace sim {
namespace {

std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

} // namespace

bool OpenPty(Pty& pty, std::string& error) {
    UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!master) {
        error = SystemError("posix_openpt");
        return false;
    }
    if (grantpt(master.Get()) != 0 || unlockpt(master.Get()) != 0) {
        error = SystemError("grantpt/unlockpt");
        return false;
    }
    char name[128];
    if (ptsname_r(master.Get(), name, sizeof name) != 0) {
        error = SystemError("ptsname_r");
        return false;
    }
    // Terminal settings made on the master apply to the slave: no echo, no line editing, no
    // translation, so that the host sees a plain 8-bit line until it sets its own mode.
    termios mode{};
    if (tcgetattr(master.Get(), &mode) != 0) {
        error = SystemError("tcgetattr");
        return false;
    }
    cfmakeraw(&mode);
    if (tcsetattr(master.Get(), TCSANOW, &mode) != 0) {
        error = SystemError("tcsetattr");
        return false;
    }
    pty.master = std::move(master);
    pty.slavePath = name;
    return true;
}

PortLink::~PortLink() {
    if (path_.empty()) {
        return;
    }
    // Remove the link only while it is still ours: a later simulator may have replaced it.
    std::vector<char> target(target_.size() + 2);
    const ssize_t length = readlink(path_.c_str(), target.data(), target.size());
    if (length >= 0 && std::string(target.data(), static_cast<std::size_t>(length)) == target_) {
        unlink(path_.c_str());
    }
}

bool PortLink::Create(const std::string& path, const std::string& target, std::string& error) {
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            error = path + " is a directory";
            return false;
        }
        if (unlink(path.c_str()) != 0) {
            error = SystemError("unlink " + path);
            return false;
        }
    }
    if (symlink(target.c_str(), path.c_str()) != 0) {
        error = SystemError("symlink " + path);
        return false;
    }
    path_ = path;
    target_ = target;
    return true;
}

} // namespace sim
