#include "cli/SerialPorts.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <map>

namespace {

constexpr int kMaxLinks = 40; // the kernel's own limit of symbolic links in one path
const char kTtyClass[] = "/sys/class/tty/";
const char kDevices[] = "/sys/devices/";
const char kById[] = "/dev/serial/by-id/";

// A path of the live system as it lies under the root.
std::string InRoot(const std::string& root, const std::string& path) {
    std::string base = root;
    while (!base.empty() && base.back() == '/') {
        base.pop_back();
    }
    return base + path;
}

std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t end = std::min(path.find('/', start), path.size());
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

std::string Joined(const std::vector<std::string>& parts) {
    std::string path;
    for (const std::string& part : parts) {
        path += "/" + part;
    }
    return path.empty() ? std::string("/") : path;
}

std::string Basename(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

std::string Parent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool IsLink(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

bool Exists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

std::optional<std::string> ReadLink(const std::string& path) {
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof target) {
        return std::nullopt;
    }
    return std::string(target, static_cast<size_t>(length));
}

// A path of the live system with its symbolic links followed as the kernel would if the root
// were "/": an absolute target starts again at the root, ".." stops there, so a fake tree never
// leads out of itself. Parts that do not exist are kept as written. None for a loop of links.
std::optional<std::string> ResolveWithin(const std::string& root, const std::string& path) {
    std::vector<std::string> done;
    std::deque<std::string> rest;
    for (std::string& part : Components(path)) {
        rest.push_back(std::move(part));
    }
    int links = 0;
    while (!rest.empty()) {
        std::string part = std::move(rest.front());
        rest.pop_front();
        if (part == ".") {
            continue;
        }
        if (part == "..") {
            if (!done.empty()) {
                done.pop_back();
            }
            continue;
        }
        done.push_back(std::move(part));
        const std::string here = InRoot(root, Joined(done));
        if (!IsLink(here)) {
            continue;
        }
        const std::optional<std::string> target = ReadLink(here);
        if (++links > kMaxLinks || !target) {
            return std::nullopt;
        }
        done.pop_back();
        if (target->front() == '/') {
            done.clear();
        }
        const std::vector<std::string> parts = Components(*target);
        rest.insert(rest.begin(), parts.begin(), parts.end());
    }
    return Joined(done);
}

std::string Absolute(const std::string& port) {
    if (!port.empty() && port.front() == '/') {
        return port;
    }
    std::error_code failed;
    const std::filesystem::path here = std::filesystem::current_path(failed);
    return failed ? "/" + port : (here / port).string();
}

// The tty's folder in sysfs: "/sys/devices/.../ttyUSB0/tty/ttyUSB0".
std::optional<std::string> TtyFolder(const std::string& root, const std::string& name) {
    std::optional<std::string> folder = ResolveWithin(root, kTtyClass + name);
    if (!folder || !Exists(InRoot(root, *folder))) {
        return std::nullopt;
    }
    return folder;
}

// The device the tty belongs to: the usb-serial port, the USB interface, the UART.
std::optional<std::string> DeviceFolder(const std::string& root, const std::string& name) {
    const std::optional<std::string> tty = TtyFolder(root, name);
    if (!tty || !IsLink(InRoot(root, *tty + "/device"))) {
        return std::nullopt;
    }
    std::optional<std::string> device = ResolveWithin(root, *tty + "/device");
    if (!device || !Exists(InRoot(root, *device))) {
        return std::nullopt;
    }
    return device;
}

// The last part of a link of a device folder ("driver", "subsystem"); empty without the link.
std::string LinkName(const std::string& root, const std::string& folder, const char* link) {
    const std::string path = folder + "/" + link;
    if (!IsLink(InRoot(root, path))) {
        return std::string();
    }
    const std::optional<std::string> target = ResolveWithin(root, path);
    return target ? Basename(*target) : std::string();
}

std::string DriverOfTty(const std::string& root, const std::string& name) {
    const std::optional<std::string> device = DeviceFolder(root, name);
    if (!device) {
        return std::string();
    }
    // The serial core's port and controller devices stand between the tty and the UART.
    std::string folder = *device;
    while (StartsWith(folder, kDevices) && LinkName(root, folder, "subsystem") == "serial-base") {
        folder = Parent(folder);
    }
    return LinkName(root, folder, "driver");
}

std::optional<UsbIdentity> UsbOfTty(const std::string& root, const std::string& name) {
    const std::optional<std::string> device = DeviceFolder(root, name);
    if (!device) {
        return std::nullopt;
    }
    for (std::string folder = *device; StartsWith(folder, kDevices); folder = Parent(folder)) {
        const std::string base = InRoot(root, folder) + "/";
        std::optional<std::string> vendor = ReadKernelText(base + "idVendor");
        if (vendor) {
            UsbIdentity usb;
            usb.vendor = std::move(*vendor);
            usb.product = ReadKernelText(base + "idProduct").value_or(std::string());
            usb.serial = ReadKernelText(base + "serial").value_or(std::string());
            usb.manufacturer = ReadKernelText(base + "manufacturer").value_or(std::string());
            usb.description = ReadKernelText(base + "product").value_or(std::string());
            return usb;
        }
    }
    return std::nullopt;
}

std::vector<std::string> EntryNames(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code failed;
    for (std::filesystem::directory_iterator entry(folder, failed), end; !failed && entry != end;
         entry.increment(failed)) {
        names.push_back(entry->path().filename().string());
    }
    return names;
}

// The /dev/serial/by-id names of each tty.
std::map<std::string, std::vector<std::string>> ByIdNames(const std::string& root) {
    std::map<std::string, std::vector<std::string>> names;
    for (const std::string& entry : EntryNames(InRoot(root, kById))) {
        const std::string link = kById + entry;
        const std::optional<std::string> target = ResolveWithin(root, link);
        if (target && Exists(InRoot(root, *target))) {
            names[Basename(*target)].push_back(link);
        }
    }
    for (auto& [tty, links] : names) {
        std::sort(links.begin(), links.end());
    }
    return names;
}

// A tty as a serial port, its users aside; none for a tty that is no serial port.
std::optional<SerialPortInfo> PortOfTty(const std::string& root, const std::string& name,
                                        const std::map<std::string, std::vector<std::string>>& byId) {
    const std::optional<std::string> tty = TtyFolder(root, name);
    if (!tty || ReadKernelText(InRoot(root, *tty + "/type")) == "0") {
        return std::nullopt; // a UART of the serial core with no chip behind it
    }
    SerialPortInfo port;
    port.driver = DriverOfTty(root, name);
    if (port.driver.empty()) {
        return std::nullopt; // a console, a virtual terminal, ptmx
    }
    port.device = "/dev/" + name;
    if (const auto links = byId.find(name); links != byId.end()) {
        port.links = links->second;
    }
    port.path = port.links.empty() ? port.device : port.links.front();
    port.usb = UsbOfTty(root, name);
    return port;
}

// The same file: the same device for device nodes (whatever node it was opened through), else
// the same inode.
bool SameFile(const struct stat& file, const struct statx& other) {
    const bool device = S_ISCHR(file.st_mode) || S_ISBLK(file.st_mode);
    if (device) {
        return (file.st_mode & S_IFMT) == (other.stx_mode & S_IFMT) &&
               file.st_rdev == makedev(other.stx_rdev_major, other.stx_rdev_minor);
    }
    return file.st_dev == makedev(other.stx_dev_major, other.stx_dev_minor) && file.st_ino == other.stx_ino;
}

bool IsDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

bool IsPid(const std::string& name) {
    return !name.empty() && name.size() < 10 && std::all_of(name.begin(), name.end(), IsDigit);
}

// For each file, the processes that have it open, in one pass over <procRoot>/*/fd.
std::vector<std::vector<PortUser>> ProcessesWithFilesOpen(const std::vector<struct stat>& files,
                                                          long excludePid, const std::string& procRoot) {
    std::vector<std::vector<PortUser>> users(files.size());
    if (files.empty()) {
        return users;
    }
    for (const std::string& entry : EntryNames(procRoot)) {
        const long pid = IsPid(entry) ? std::stol(entry) : 0;
        if (pid <= 0 || pid == excludePid) {
            continue;
        }
        const std::string fds = procRoot + "/" + entry + "/fd/";
        std::vector<bool> found(files.size(), false);
        for (const std::string& fd : EntryNames(fds)) { // none when we may not look
            // From the kernel's cache: a descriptor on a network file system that does not
            // answer must not hold the listing up.
            struct statx described {};
            if (statx(AT_FDCWD, (fds + fd).c_str(), AT_STATX_DONT_SYNC, STATX_TYPE | STATX_INO, &described) !=
                0) {
                continue;
            }
            for (size_t i = 0; i < files.size(); ++i) {
                if (!found[i] && SameFile(files[i], described)) {
                    found[i] = true;
                    users[i].push_back(PortUser{pid, ProcessName(pid, procRoot)});
                }
            }
        }
    }
    for (std::vector<PortUser>& list : users) {
        std::sort(list.begin(), list.end(),
                  [](const PortUser& a, const PortUser& b) { return a.pid < b.pid; });
    }
    return users;
}

// The number that starts at text[at], without its leading zeros: where its digits begin and end.
std::pair<size_t, size_t> NumberAt(const std::string& text, size_t at) {
    size_t end = at;
    while (end < text.size() && IsDigit(text[end])) {
        ++end;
    }
    while (at + 1 < end && text[at] == '0') {
        ++at;
    }
    return {at, end};
}

// Paths in the order people count: ttyS2 before ttyS10.
int NaturalCompare(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            const auto [aStart, aEnd] = NumberAt(a, i);
            const auto [bStart, bEnd] = NumberAt(b, j);
            const size_t aDigits = aEnd - aStart, bDigits = bEnd - bStart;
            if (aDigits != bDigits) {
                return aDigits < bDigits ? -1 : 1;
            }
            if (const int order = a.compare(aStart, aDigits, b, bStart, bDigits); order != 0) {
                return order;
            }
            i = aEnd;
            j = bEnd;
        } else if (a[i] != b[j]) {
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]) ? -1 : 1;
        } else {
            ++i;
            ++j;
        }
    }
    const size_t aLeft = a.size() - i, bLeft = b.size() - j;
    return aLeft == bLeft ? a.compare(b) : (aLeft < bLeft ? -1 : 1);
}

// The length of the UTF-8 sequence that starts at text[at], with its code point; 0 where none
// starts (a stray byte, a cut or overlong sequence, a surrogate).
size_t Utf8Sequence(const std::string& text, size_t at, uint32_t& codePoint) {
    const auto lead = static_cast<unsigned char>(text[at]);
    size_t length = 1;
    uint32_t least = 0;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        codePoint = lead & 0x1Fu;
        least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        codePoint = lead & 0x0Fu;
        least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        codePoint = lead & 0x07u;
        least = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (next & 0x3Fu);
    }
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    return codePoint < least || codePoint > 0x10FFFF || surrogate ? 0 : length;
}

// Strings of devices and processes are whatever they chose to say. For JSON: valid UTF-8, with
// U+FFFD for a byte that is none. For the terminal: also no control characters, and '?' for both.
std::string CleanText(const std::string& text, bool forTerminal) {
    std::string clean;
    for (size_t at = 0; at < text.size();) {
        uint32_t codePoint = 0;
        const size_t length = Utf8Sequence(text, at, codePoint);
        if (length == 0) {
            clean += forTerminal ? "?" : "\xEF\xBF\xBD";
            ++at;
            continue;
        }
        const bool control = codePoint < 0x20 || (codePoint >= 0x7F && codePoint < 0xA0);
        if (forTerminal && control) {
            clean += '?';
        } else {
            clean.append(text, at, length);
        }
        at += length;
    }
    return clean;
}

size_t DisplayWidth(const std::string& text) {
    return static_cast<size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string ProcessText(const PortUser& user, bool holdsLock) {
    std::string inside = user.name;
    if (holdsLock) {
        inside += inside.empty() ? "lock" : ", lock";
    }
    return std::to_string(user.pid) + (inside.empty() ? std::string() : " (" + inside + ")");
}

std::string UsersText(const SerialPortInfo& port) {
    std::vector<std::string> parts;
    if (port.lockedBy) {
        parts.push_back(ProcessText(*port.lockedBy, true));
    }
    for (const PortUser& user : port.openBy) {
        if (!port.lockedBy || user.pid != port.lockedBy->pid) {
            parts.push_back(ProcessText(user, false));
        }
    }
    std::string text;
    for (const std::string& part : parts) {
        text += (text.empty() ? "" : ", ") + part;
    }
    return text;
}

std::vector<std::string> TableCells(const SerialPortInfo& port) {
    std::string usb, serial, description;
    if (port.usb) {
        usb = port.usb->vendor + ":" + port.usb->product;
        serial = port.usb->serial;
        description = port.usb->manufacturer;
        if (!port.usb->description.empty()) {
            description += (description.empty() ? "" : " ") + port.usb->description;
        }
    }
    std::vector<std::string> cells = {port.path, port.device, port.driver,    usb,
                                      serial,    description, UsersText(port)};
    for (std::string& cell : cells) {
        cell = cell.empty() ? "-" : CleanText(cell, true);
    }
    return cells;
}

nlohmann::ordered_json UserJson(const PortUser& user) {
    return nlohmann::ordered_json{{"pid", user.pid}, {"name", CleanText(user.name, false)}};
}

} // namespace

std::string TtyName(const std::string& port, const std::string& root) {
    const std::optional<std::string> node = ResolveWithin(root, Absolute(port));
    if (!node) {
        return std::string();
    }
    const std::string name = Basename(*node);
    if (name.empty() || name == "." || name == ".." || !TtyFolder(root, name)) {
        return std::string();
    }
    return name;
}

std::optional<UsbIdentity> ReadUsbIdentity(const std::string& port, const std::string& root) {
    const std::string name = TtyName(port, root);
    return name.empty() ? std::nullopt : UsbOfTty(root, name);
}

std::string PortDriver(const std::string& port, const std::string& root) {
    const std::string name = TtyName(port, root);
    return name.empty() ? std::string() : DriverOfTty(root, name);
}

std::vector<PortUser> ProcessesWithPortOpen(const std::string& port, long excludePid) {
    struct stat file {};
    if (stat(port.c_str(), &file) != 0) {
        return {};
    }
    return ProcessesWithFilesOpen({file}, excludePid, "/proc").front();
}

SerialPortInfo DescribePort(const std::string& port) {
    SerialPortInfo info;
    info.path = port;
    char real[PATH_MAX];
    info.device = realpath(port.c_str(), real) != nullptr ? std::string(real) : port;
    info.driver = PortDriver(port);
    info.usb = ReadUsbIdentity(port);
    struct stat node {};
    if (stat(port.c_str(), &node) == 0) {
        info.lockedBy = LockHolderOf(node.st_dev, node.st_ino);
    }
    info.openBy = ProcessesWithPortOpen(port, getpid());
    return info;
}

std::vector<SerialPortInfo> ListSerialPorts(const std::string& root) {
    const std::map<std::string, std::vector<std::string>> byId = ByIdNames(root);
    std::vector<SerialPortInfo> ports;
    std::vector<struct stat> nodes;     // of the ports whose node exists
    std::vector<size_t> portsWithNodes; // their places in `ports`
    for (const std::string& name : EntryNames(InRoot(root, kTtyClass))) {
        std::optional<SerialPortInfo> port = PortOfTty(root, name, byId);
        if (!port) {
            continue;
        }
        struct stat node {};
        if (stat(InRoot(root, port->device).c_str(), &node) == 0) {
            port->lockedBy = LockHolderOf(node.st_dev, node.st_ino, InRoot(root, "/proc"));
            nodes.push_back(node);
            portsWithNodes.push_back(ports.size());
        }
        ports.push_back(std::move(*port));
    }
    std::vector<std::vector<PortUser>> users = ProcessesWithFilesOpen(nodes, getpid(), InRoot(root, "/proc"));
    for (size_t i = 0; i < nodes.size(); ++i) {
        ports[portsWithNodes[i]].openBy = std::move(users[i]);
    }
    std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
        return NaturalCompare(a.path, b.path) < 0;
    });
    return ports;
}

void PrintPortsTable(const std::vector<SerialPortInfo>& ports, std::ostream& out) {
    if (ports.empty()) {
        out << "no serial ports found\n";
        return;
    }
    std::vector<std::vector<std::string>> rows = {
        {"PORT", "DEVICE", "DRIVER", "USB ID", "SERIAL", "DESCRIPTION", "IN USE BY"}};
    for (const SerialPortInfo& port : ports) {
        rows.push_back(TableCells(port));
    }
    std::vector<size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows) {
        for (size_t column = 0; column < row.size(); ++column) {
            widths[column] = std::max(widths[column], DisplayWidth(row[column]));
        }
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t column = 0; column < row.size(); ++column) {
            line += row[column];
            if (column + 1 < row.size()) {
                line += std::string(widths[column] - DisplayWidth(row[column]) + 2, ' ');
            }
        }
        out << line << '\n';
    }
}

nlohmann::ordered_json UsbJson(const std::optional<UsbIdentity>& usb) {
    if (!usb) {
        return nullptr;
    }
    return nlohmann::ordered_json{{"vendor", CleanText(usb->vendor, false)},
                                  {"product", CleanText(usb->product, false)},
                                  {"serial", CleanText(usb->serial, false)},
                                  {"manufacturer", CleanText(usb->manufacturer, false)},
                                  {"description", CleanText(usb->description, false)}};
}

nlohmann::ordered_json PortsJson(const std::vector<SerialPortInfo>& ports) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const SerialPortInfo& port : ports) {
        nlohmann::ordered_json links = nlohmann::ordered_json::array();
        for (const std::string& link : port.links) {
            links.push_back(CleanText(link, false));
        }
        nlohmann::ordered_json openBy = nlohmann::ordered_json::array();
        for (const PortUser& user : port.openBy) {
            openBy.push_back(UserJson(user));
        }
        list.push_back(nlohmann::ordered_json{
            {"path", CleanText(port.path, false)},
            {"device", CleanText(port.device, false)},
            {"links", links},
            {"driver", CleanText(port.driver, false)},
            {"usb", UsbJson(port.usb)},
            {"locked_by", port.lockedBy ? UserJson(*port.lockedBy) : nlohmann::ordered_json()},
            {"open_by", openBy}});
    }
    return list;
}
