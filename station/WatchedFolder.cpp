#include "station/WatchedFolder.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t kEntryEvents =
    IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t kParentEvents = IN_CREATE | IN_MOVED_TO | IN_ONLYDIR;

std::string Parent(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

WatchedFolder::WatchedFolder(std::string folder) : folder(std::move(folder)) {}

bool WatchedFolder::Start(std::string& reason) {
    inotify = UniqueFd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify) {
        reason = std::string("inotify: ") + std::strerror(errno);
        return false;
    }
    Arm(nullptr);
    if (folderWatch < 0 && parentWatch < 0) {
        reason = folder + ": " + std::strerror(errno);
        return false;
    }
    present = Entries();
    return true;
}

bool WatchedFolder::IsDevice(const std::string& name) const {
    struct stat entry {};
    return stat((folder + "/" + name).c_str(), &entry) == 0 && S_ISCHR(entry.st_mode);
}

std::set<std::string> WatchedFolder::Entries() const {
    std::set<std::string> names;
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) {
        return names;
    }
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && IsDevice(name)) {
            names.insert(name);
        }
    }
    closedir(listing);
    return names;
}

// Watches the folder when it is there, else the nearest parent that is, for the folder (or a
// folder on the way to it) to appear. Entries of a folder that appeared count as appearing.
void WatchedFolder::Arm(const std::function<void(const std::string&)>& appeared) {
    if (folderWatch >= 0) {
        return;
    }
    folderWatch = inotify_add_watch(inotify.Get(), folder.c_str(), kEntryEvents);
    if (folderWatch >= 0) {
        if (parentWatch >= 0) {
            inotify_rm_watch(inotify.Get(), parentWatch);
            parentWatch = -1;
        }
        if (appeared) {
            for (const std::string& name : Entries()) {
                if (present.insert(name).second) {
                    appeared(name);
                }
            }
        }
        return;
    }
    if (parentWatch >= 0) {
        inotify_rm_watch(inotify.Get(), parentWatch);
        parentWatch = -1;
    }
    for (std::string parent = Parent(folder); parentWatch < 0; parent = Parent(parent)) {
        parentWatch = inotify_add_watch(inotify.Get(), parent.c_str(), kParentEvents);
        if (parent == "/" || parent == ".") {
            break;
        }
    }
    // The folder may have appeared between the two calls.
    if (access(folder.c_str(), F_OK) == 0) {
        Arm(appeared);
    }
}

bool WatchedFolder::Read(const std::function<void(const std::string&)>& appeared,
                         const std::function<void(const std::string&)>& went) {
    alignas(inotify_event) char buffer[64 * (sizeof(inotify_event) + NAME_MAX + 1)];
    bool rescanned = false;
    for (;;) {
        const ssize_t length = read(inotify.Get(), buffer, sizeof buffer);
        if (length <= 0) {
            return rescanned; // EAGAIN: all taken
        }
        bool rearm = false;
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            const std::string name = event->len > 0 ? std::string(event->name) : std::string();
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                Rescan(appeared, went);
                rescanned = true;
            } else if (event->wd == folderWatch &&
                       (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
                // The folder went, and its entries with it.
                if ((event->mask & IN_IGNORED) == 0) {
                    inotify_rm_watch(inotify.Get(), folderWatch);
                }
                folderWatch = -1;
                for (const std::string& entry : present) {
                    went(entry);
                }
                present.clear();
                rearm = true;
            } else if (event->wd == folderWatch && (event->mask & (IN_CREATE | IN_MOVED_TO)) != 0) {
                // A name that is there already was replaced: another device under it.
                if (present.erase(name) > 0) {
                    went(name);
                }
                if (IsDevice(name) && present.insert(name).second) {
                    appeared(name);
                }
            } else if (event->wd == folderWatch && (event->mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
                if (present.erase(name) > 0) {
                    went(name);
                }
            } else if (event->wd == parentWatch) {
                rearm = true;
            }
        }
        if (rearm) {
            Arm(appeared);
        }
    }
}

// Events were lost: what is there now against what was, each difference told.
void WatchedFolder::Rescan(const std::function<void(const std::string&)>& appeared,
                           const std::function<void(const std::string&)>& went) {
    const std::set<std::string> now = Entries();
    const std::set<std::string> before = present;
    for (const std::string& name : before) {
        if (now.count(name) == 0) {
            present.erase(name);
            went(name);
        }
    }
    for (const std::string& name : now) {
        if (present.insert(name).second) {
            appeared(name);
        }
    }
}
