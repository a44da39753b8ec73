#pragma once

#include "engine/posix/UniqueFd.h"

#include <string>

namespace sim {

// The master side of a fresh pseudo-terminal in raw mode, non-blocking.
struct Pty {
    UniqueFd master;
    std::string slavePath;
};

// Fails with a message in error.
bool OpenPty(Pty& pty, std::string& error);

// A symbolic link to the slave that lives as long as this object (a COM port of Wine).
class PortLink {
public:
    PortLink() = default;
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;
    ~PortLink();

    // Replaces whatever link or file stands at path.
    bool Create(const std::string& path, const std::string& target, std::string& error);

private:
    std::string path_;
    std::string target_;
};

} // namespace sim
