#pragma once

#include "engine/posix/UniqueFd.h"

#include <functional>
#include <set>
#include <string>

// A folder where devices appear and disappear as entries (device nodes, or the links udev makes
// to them), watched with inotify. The folder itself may come and go: udev removes
// /dev/serial/by-id with its last device. While it is missing, its nearest existing parent is
// watched instead; when it appears, its entries count as appearing.
class WatchedFolder {
public:
    explicit WatchedFolder(std::string folder);
    // Starts watching; false with the reason.
    bool Start(std::string& reason);
    int Fd() const { return inotify.Get(); }
    // The entries there now: device nodes, and links to them (a link to nothing is no device).
    std::set<std::string> Entries() const;
    // The entries that Start found: each is told once, by this listing or later by Read.
    const std::set<std::string>& Present() const { return present; }
    // Takes the pending events: each entry that appeared or went, by name. An entry that was
    // replaced (a link re-pointed by a rename) went and appeared; when the kernel dropped events
    // (its queue overflowed), the folder is listed again and the difference told: true then.
    bool Read(const std::function<void(const std::string&)>& appeared,
              const std::function<void(const std::string&)>& went);

private:
    void Arm(const std::function<void(const std::string&)>& appeared);
    void Rescan(const std::function<void(const std::string&)>& appeared,
                const std::function<void(const std::string&)>& went);
    bool IsDevice(const std::string& name) const;

    const std::string folder;
    UniqueFd inotify;
    int folderWatch = -1; // the folder's watch, while it exists
    int parentWatch = -1; // a parent's watch, while the folder is missing
    std::set<std::string> present;
};
