// The serial ports of the machine and who uses them: sysfs, /dev and /proc read through a fake
// tree laid out as the kernel lays them out, the real /proc over ptys, and the exclusive mode a
// held port gets.
#include "cli/SerialPorts.h"
#include "engine/posix/PortUsers.h"
#include "engine/posix/SerialDevice.h"
#include "engine/posix/UniqueFd.h"
#include "tests/unit/support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Pids above the kernel's highest (4194304): they never name a real process, ours included.
constexpr long kPicocom = 4200001;
constexpr long kMinicom = 4200002;

const char kFtdiById[] = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1ABC-if00-port0";
const char kAcmById[] = "/dev/serial/by-id/usb-Arduino__www.arduino.cc__0043_85734323-if00";
const char kUsb[] = "/sys/devices/pci0000:00/0000:00:14.0/usb1";

// A tree of sysfs, /dev and /proc under a scratch folder, written with paths of the live system.
class FakeSystem {
public:
    explicit FakeSystem(const std::string& root) : root(root) {}

    std::string Real(const std::string& path) const { return root + path.substr(1); }

    void File(const std::string& path, const std::string& text) {
        fs::create_directories(fs::path(Real(path)).parent_path());
        std::ofstream(Real(path), std::ios::binary) << text;
    }
    void Folder(const std::string& path) { fs::create_directories(Real(path)); }
    // A link as written: relative, absolute (then within the tree), or leading nowhere.
    void LinkText(const std::string& path, const std::string& text) {
        fs::create_directories(fs::path(Real(path)).parent_path());
        fs::create_symlink(text, Real(path));
    }
    // A relative link to another path of the tree, as sysfs writes them.
    void Link(const std::string& path, const std::string& target) {
        LinkText(path, fs::path(target).lexically_relative(fs::path(path).parent_path()).string());
    }

    // A tty in the kernel's layout: its folder under its device, the class link to it, the
    // device link back, the device's driver, and the UART type where there is one.
    void Tty(const std::string& name, const std::string& device, const std::string& driver,
             const std::string& type = std::string()) {
        const std::string tty = device + "/tty/" + name;
        Folder(tty);
        Link("/sys/class/tty/" + name, tty);
        LinkText(tty + "/device", "../../../" + device.substr(device.rfind('/') + 1));
        if (!driver.empty() && !fs::is_symlink(Real(device + "/driver"))) {
            Folder(driver);
            Link(device + "/driver", driver);
        }
        if (!type.empty()) {
            File(tty + "/type", type + "\n");
        }
        File("/dev/" + name, "");
    }
    void UsbDevice(const std::string& device, const std::map<std::string, std::string>& attributes) {
        for (const auto& [name, value] : attributes) {
            File(device + "/" + name, value + "\n");
        }
    }
    // A device of the serial core's own bus, between a UART and its tty (Linux 6.5 and later).
    void SerialBase(const std::string& device, const char* driver) {
        Folder("/sys/bus/serial-base/drivers/" + std::string(driver));
        Link(device + "/subsystem", "/sys/bus/serial-base");
        Link(device + "/driver", "/sys/bus/serial-base/drivers/" + std::string(driver));
    }
    void Process(long pid, const std::string& name, const std::vector<std::string>& openFiles) {
        const std::string folder = "/proc/" + std::to_string(pid);
        File(folder + "/comm", name + "\n");
        Folder(folder + "/fd");
        for (size_t fd = 0; fd < openFiles.size(); ++fd) {
            // The kernel's links lead to the open file itself, wherever it is.
            fs::create_symlink(openFiles[fd], Real(folder + "/fd/" + std::to_string(fd)));
        }
    }
    std::string LockLine(long pid, const std::string& path) const {
        struct stat status {};
        EXPECT_EQ(stat(Real(path).c_str(), &status), 0) << path;
        std::ostringstream line;
        line << "1: FLOCK  ADVISORY  WRITE " << pid << " " << std::hex << std::setfill('0') << std::setw(2)
             << major(status.st_dev) << ":" << std::setw(2) << minor(status.st_dev) << ":" << std::dec
             << status.st_ino << " 0 EOF\n";
        return line.str();
    }

    const std::string root; // with its final '/'
};

// The machine of the tests: an FTDI adapter and an Arduino on USB, two UARTs of the board in
// both layouts of the serial core with a phantom beside each, a UART on a platform device, the
// virtual terminals, and two programs that use the USB ports.
void BuildMachine(FakeSystem& fake) {
    const std::string ftdi = std::string(kUsb) + "/1-2";
    const std::string acm = std::string(kUsb) + "/1-3";
    fake.UsbDevice(kUsb, {{"idVendor", "1d6b"}, {"idProduct", "0002"}}); // the root hub
    fake.UsbDevice(ftdi, {{"idVendor", "0403"},
                          {"idProduct", "6001"},
                          {"serial", "A10K1ABC"},
                          {"manufacturer", "FTDI"},
                          {"product", "FT232R USB UART"}});
    fake.File(ftdi + "/1-2:1.0/bInterfaceNumber", "00\n");
    fake.Tty("ttyUSB0", ftdi + "/1-2:1.0/ttyUSB0", "/sys/bus/usb-serial/drivers/ftdi_sio");
    fake.UsbDevice(
        acm, {{"idVendor", "2341"}, {"idProduct", "0043"}, {"manufacturer", "Arduino (www.arduino.cc)"}});
    fake.Tty("ttyACM0", acm + "/1-3:1.0", "/sys/bus/usb/drivers/cdc_acm");

    // Before Linux 6.5 a UART's tty hangs from the UART's device.
    fake.Tty("ttyS0", "/sys/devices/pnp0/00:04", "/sys/bus/pnp/drivers/serial", "4");
    fake.Tty("ttyS1", "/sys/devices/platform/serial8250", "/sys/bus/platform/drivers/serial8250", "0");
    fake.Tty("ttyS10", "/sys/devices/platform/serial8250", "/sys/bus/platform/drivers/serial8250", "4");
    // Since then, from a port device under a controller device of the serial core's bus.
    fake.Folder("/sys/bus/pnp/drivers/serial");
    fake.Link("/sys/devices/pnp0/00:05/driver", "/sys/bus/pnp/drivers/serial");
    fake.SerialBase("/sys/devices/pnp0/00:05/00:05:0", "ctrl");
    fake.SerialBase("/sys/devices/pnp0/00:05/00:05:0/00:05:0.0", "port");
    fake.Tty("ttyS2", "/sys/devices/pnp0/00:05/00:05:0/00:05:0.0", "", "4");
    const std::string phantom = "/sys/devices/platform/serial8250/serial8250:0";
    fake.SerialBase(phantom, "ctrl");
    fake.SerialBase(phantom + "/serial8250:0.3", "port");
    fake.Tty("ttyS3", phantom + "/serial8250:0.3", "", "0");

    for (const char* name : {"tty", "tty0", "console", "ptmx"}) {
        fake.Link("/sys/class/tty/" + std::string(name), "/sys/devices/virtual/tty/" + std::string(name));
        fake.Folder("/sys/devices/virtual/tty/" + std::string(name));
    }
    fake.File("/dev/pts/3", "");

    fake.Link(kFtdiById, "/dev/ttyUSB0");
    fake.Link(kAcmById, "/dev/ttyACM0");
    fake.LinkText("/dev/serial/by-id/usb-Gone_Adapter-if00-port0", "../../ttyUSB5");
    fake.LinkText("/dev/loop1", "loop2");
    fake.LinkText("/dev/loop2", "loop1");
    fake.LinkText("/dev/up", "../../../../../../../../../dev/ttyUSB0"); // ".." stops at the root
    fake.LinkText("/dev/arduino", "/dev/ttyACM0");                      // absolute: within the root

    fake.Process(kPicocom, "picocom", {fake.Real("/dev/ttyUSB0"), fake.Real("/dev/null")});
    fake.Process(kMinicom, "minicom", {"pipe:[4711]", fake.Real("/dev/ttyACM0"), fake.Real("/dev/ttyUSB0")});
    fake.File("/dev/null", "");
    fake.File("/proc/4200003/comm", "hidden\n"); // no fd folder: another user's process
    fake.File("/proc/locks", "1: -> FLOCK  ADVISORY  WRITE 4200002 00:00:1 0 EOF\n" +
                                 fake.LockLine(kPicocom, "/dev/ttyUSB0"));
}

const UsbIdentity kFtdi{"0403", "6001", "A10K1ABC", "FTDI", "FT232R USB UART"};
const UsbIdentity kArduino{"2341", "0043", "", "Arduino (www.arduino.cc)", ""};

std::string Text(const std::optional<UsbIdentity>& usb) {
    if (!usb) {
        return "none";
    }
    return usb->vendor + "|" + usb->product + "|" + usb->serial + "|" + usb->manufacturer + "|" +
           usb->description;
}

std::string Text(const std::vector<PortUser>& users) {
    std::string text;
    for (const PortUser& user : users) {
        text += std::to_string(user.pid) + " " + user.name + ";";
    }
    return text;
}

TEST(SerialPorts, NamesEachPortsTtyDriverAndUsbIdentity) {
    ScratchFolder scratch;
    ASSERT_FALSE(scratch.Path().empty());
    FakeSystem fake(scratch.Path());
    BuildMachine(fake);
    struct Row {
        std::string port;
        std::string tty; // empty: no tty of sysfs
        std::string driver;
        std::optional<UsbIdentity> usb;
    } rows[] = {
        {"/dev/ttyUSB0", "ttyUSB0", "ftdi_sio", kFtdi},
        {kFtdiById, "ttyUSB0", "ftdi_sio", kFtdi},
        {"/dev/ttyACM0", "ttyACM0", "cdc_acm", kArduino}, // no serial number, no product string
        {"/dev/up", "ttyUSB0", "ftdi_sio", kFtdi},
        {"/dev/arduino", "ttyACM0", "cdc_acm", kArduino},
        {"/dev/ttyS0", "ttyS0", "serial", std::nullopt},
        {"/dev/ttyS2", "ttyS2", "serial", std::nullopt}, // the UART's driver, not the serial core's "port"
        {"/dev/ttyS1", "ttyS1", "serial8250", std::nullopt},
        {"/dev/tty0", "tty0", "", std::nullopt},
        {"/dev/pts/3", "", "", std::nullopt},
        {"/dev/ttyUSB5", "", "", std::nullopt},
        {"/dev/serial/by-id/usb-Gone_Adapter-if00-port0", "", "", std::nullopt},
        {"/dev/loop1", "", "", std::nullopt},
        {"/", "", "", std::nullopt},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(TtyName(row.port, fake.root), row.tty) << row.port;
        EXPECT_EQ(PortDriver(row.port, fake.root), row.driver) << row.port;
        EXPECT_EQ(Text(ReadUsbIdentity(row.port, fake.root)), Text(row.usb)) << row.port;
    }
}

TEST(SerialPorts, ListsTheRealPortsInTheOrderOfTheirNames) {
    ScratchFolder scratch;
    ASSERT_FALSE(scratch.Path().empty());
    FakeSystem fake(scratch.Path());
    BuildMachine(fake);
    struct Row {
        std::string path;
        std::string device;
        std::vector<std::string> links;
        std::string driver;
        std::optional<UsbIdentity> usb;
        std::string lockedBy;
        std::string openBy;
    } rows[] = {
        {kAcmById, "/dev/ttyACM0", {kAcmById}, "cdc_acm", kArduino, "", "4200002 minicom;"},
        {kFtdiById,
         "/dev/ttyUSB0",
         {kFtdiById},
         "ftdi_sio",
         kFtdi,
         "4200001 picocom;",
         "4200001 picocom;4200002 minicom;"},
        {"/dev/ttyS0", "/dev/ttyS0", {}, "serial", std::nullopt, "", ""},
        {"/dev/ttyS2", "/dev/ttyS2", {}, "serial", std::nullopt, "", ""},
        {"/dev/ttyS10", "/dev/ttyS10", {}, "serial8250", std::nullopt, "", ""},
    };
    const std::vector<SerialPortInfo> ports = ListSerialPorts(fake.root);
    ASSERT_EQ(ports.size(), std::size(rows));
    for (size_t i = 0; i < ports.size(); ++i) {
        const Row& row = rows[i];
        const SerialPortInfo& port = ports[i];
        EXPECT_EQ(port.path, row.path) << i;
        EXPECT_EQ(port.device, row.device) << row.path;
        EXPECT_EQ(port.links, row.links) << row.path;
        EXPECT_EQ(port.driver, row.driver) << row.path;
        EXPECT_EQ(Text(port.usb), Text(row.usb)) << row.path;
        EXPECT_EQ(port.lockedBy ? Text({*port.lockedBy}) : std::string(), row.lockedBy) << row.path;
        EXPECT_EQ(Text(port.openBy), row.openBy) << row.path;
    }
}

TEST(SerialPorts, ListsNothingOnAMachineWithoutPorts) {
    struct Row {
        const char* what;
        void (*build)(FakeSystem&);
    } rows[] = {
        {"no sysfs at all", [](FakeSystem&) {}},
        {"virtual terminals and phantom UARTs",
         [](FakeSystem& fake) {
             fake.Link("/sys/class/tty/tty1", "/sys/devices/virtual/tty/tty1");
             fake.Folder("/sys/devices/virtual/tty/tty1");
             fake.Tty("ttyS0", "/sys/devices/platform/serial8250", "/sys/bus/platform/drivers/serial8250",
                      "0");
             fake.Tty("ttyS1", "/sys/devices/platform/serial8250", "/sys/bus/platform/drivers/serial8250",
                      "0");
         }},
    };
    for (const Row& row : rows) {
        ScratchFolder scratch;
        FakeSystem fake(scratch.Path());
        row.build(fake);
        EXPECT_TRUE(ListSerialPorts(fake.root).empty()) << row.what;
    }
}

TEST(SerialPorts, ReadsKernelTextsWithoutWaiting) {
    ScratchFolder scratch;
    FakeSystem fake(scratch.Path());
    fake.File("/attr/vendor", "0403\n");
    fake.File("/attr/empty", "");
    fake.File("/attr/bare", "FT232R USB UART");
    fake.File("/attr/lines", "a\r\n\n");
    fake.File("/attr/long", std::string(1000, 'x'));
    fake.Folder("/attr/folder");
    ASSERT_EQ(mkfifo(fake.Real("/attr/fifo").c_str(), 0600), 0);
    struct Row {
        const char* path;
        std::optional<std::string> text;
    } rows[] = {
        {"/attr/vendor", "0403"},
        {"/attr/empty", ""},
        {"/attr/bare", "FT232R USB UART"},
        {"/attr/lines", "a"},
        {"/attr/long", std::string(256, 'x')},
        {"/attr/missing", std::nullopt},
        {"/attr/folder", std::nullopt},
        {"/attr/fifo", std::nullopt}, // nobody writes to it: a read would wait for ever
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ReadKernelText(fake.Real(row.path)), row.text) << row.path;
    }
}

TEST(SerialPorts, FindsTheHolderOfALockByDeviceAndInode) {
    struct Row {
        const char* what;
        std::optional<std::string> locks; // none: no locks file
        dev_t device;
        ino_t inode;
        long pid; // 0: none
        std::string name;
    } rows[] = {
        {"no locks file", std::nullopt, makedev(0, 5), 1234, 0, ""},
        {"no locks", "", makedev(0, 5), 1234, 0, ""},
        {"flock", "1: FLOCK  ADVISORY  WRITE 4200001 00:05:1234 0 EOF\n", makedev(0, 5), 1234, kPicocom,
         "picocom"},
        {"POSIX lock", "1: POSIX  ADVISORY  WRITE 4200002 00:05:1234 0 EOF\n", makedev(0, 5), 1234, kMinicom,
         "minicom"},
        {"a waiter is no holder",
         "1: FLOCK  ADVISORY  WRITE 4200001 00:05:1234 0 EOF\n1: -> FLOCK  ADVISORY  WRITE 4200002 "
         "00:05:1234 0 "
         "EOF\n",
         makedev(0, 5), 1234, kPicocom, "picocom"},
        {"a waiter first", "1: -> FLOCK  ADVISORY  WRITE 4200002 00:05:1234 0 EOF\n", makedev(0, 5), 1234, 0,
         ""},
        {"another inode", "1: FLOCK  ADVISORY  WRITE 4200001 00:05:12345 0 EOF\n", makedev(0, 5), 1234, 0,
         ""},
        {"another device", "1: FLOCK  ADVISORY  WRITE 4200001 00:06:1234 0 EOF\n", makedev(0, 5), 1234, 0,
         ""},
        {"among others",
         "1: POSIX  ADVISORY  READ 17 08:01:99 0 EOF\n2: FLOCK  ADVISORY  WRITE 4200002 08:01:77 0 EOF\n",
         makedev(8, 1), 77, kMinicom, "minicom"},
        {"a minor above 255", "1: FLOCK  ADVISORY  WRITE 4200001 00:123:77 0 EOF\n", makedev(0, 0x123), 77,
         kPicocom, "picocom"},
        {"an open file description lock", "1: OFDLCK ADVISORY  WRITE -1 00:05:1234 0 EOF\n", makedev(0, 5),
         1234, 0, ""},
        {"a holder in another pid namespace", "1: FLOCK  ADVISORY  WRITE 0 00:05:1234 0 EOF\n", makedev(0, 5),
         1234, 0, ""},
        {"a holder that has gone", "1: FLOCK  ADVISORY  WRITE 4200009 00:05:1234 0 EOF\n", makedev(0, 5),
         1234, 4200009, ""},
        {"a broken line", "1: FLOCK\n", makedev(0, 5), 1234, 0, ""},
    };
    for (const Row& row : rows) {
        ScratchFolder scratch;
        FakeSystem fake(scratch.Path());
        fake.File("/proc/4200001/comm", "picocom\n");
        fake.File("/proc/4200002/comm", "minicom\n");
        if (row.locks) {
            fake.File("/proc/locks", *row.locks);
        }
        const std::optional<PortUser> holder = LockHolderOf(row.device, row.inode, fake.Real("/proc"));
        EXPECT_EQ(holder ? holder->pid : 0, row.pid) << row.what;
        EXPECT_EQ(holder ? holder->name : std::string(), row.name) << row.what;
    }
}

TEST(SerialPorts, FindsALockThisProcessHolds) {
    ScratchFolder scratch;
    const std::string path = scratch.Path() + "locked";
    UniqueFd file(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(file);
    struct stat status {};
    ASSERT_EQ(fstat(file.Get(), &status), 0);
    EXPECT_FALSE(LockHolderOf(status.st_dev, status.st_ino));
    ASSERT_EQ(flock(file.Get(), LOCK_EX | LOCK_NB), 0);
    const std::optional<PortUser> holder = LockHolderOf(status.st_dev, status.st_ino);
    ASSERT_TRUE(holder);
    EXPECT_EQ(holder->pid, getpid());
    EXPECT_EQ(holder->name, ProcessName(getpid()));
    EXPECT_FALSE(holder->name.empty());
}

TEST(SerialPorts, DescribesAProcessForMessages) {
    struct Row {
        PortUser user;
        std::string text;
    } rows[] = {
        {{4711, "minicom"}, "process 4711 (minicom)"},
        {{4711, ""}, "process 4711"},
        {{4711, "mini\x1b[2Jcom\n"}, "process 4711 (mini?[2Jcom?)"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(DescribePortUser(row.user), row.text);
    }
}

struct PtyPair {
    PtyPair() {
        char name[128] = "";
        int m = -1;
        int s = -1;
        EXPECT_EQ(openpty(&m, &s, name, nullptr, nullptr), 0);
        master.Reset(m);
        slave.Reset(s);
        path = name;
    }
    UniqueFd master;
    UniqueFd slave;
    std::string path;
};

// A child process by another name, holding what this process held when it began (a pty),
// until it is let go.
class PortHolder {
public:
    PortHolder() {
        int ready[2] = {-1, -1};
        int go[2] = {-1, -1};
        if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(go, O_CLOEXEC) != 0) {
            return;
        }
        pid = fork();
        if (pid == 0) {
            close(ready[0]);
            close(go[1]);
            prctl(PR_SET_NAME, "portholder");
            char byte = 1;
            (void)!write(ready[1], &byte, 1);
            (void)!read(go[0], &byte, 1); // returns when the parent lets go or ends
            _exit(0);
        }
        close(ready[1]);
        close(go[0]);
        letGo.Reset(go[1]);
        char byte = 0;
        started = pid > 0 && read(ready[0], &byte, 1) == 1;
        close(ready[0]);
    }
    ~PortHolder() {
        letGo.Reset();
        if (pid > 0) {
            int status = 0;
            waitpid(pid, &status, 0);
        }
    }
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;

    pid_t pid = -1;
    bool started = false;

private:
    UniqueFd letGo;
};

TEST(SerialPorts, FindsTheProcessesThatHaveAPortOpen) {
    PtyPair held; // open here and in the child
    PortHolder child;
    ASSERT_TRUE(child.started);
    PtyPair alone; // open here only
    ScratchFolder scratch;
    const std::string other = scratch.Path() + "port";
    ASSERT_EQ(symlink(held.path.c_str(), other.c_str()), 0);
    const std::string plain = scratch.Path() + "plain";
    UniqueFd file(open(plain.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(file);

    const long self = getpid();
    const PortUser me{self, ProcessName(self)};
    const PortUser holder{child.pid, "portholder"};
    const std::vector<PortUser> both =
        self < child.pid ? std::vector<PortUser>{me, holder} : std::vector<PortUser>{holder, me};
    struct Row {
        std::string port;
        long excluded;
        std::vector<PortUser> users;
    } rows[] = {
        {held.path, self, {holder}}, {held.path, -1, both},
        {other, self, {holder}}, // through another name: by device number
        {alone.path, self, {}},      {alone.path, -1, {me}},
        {plain, -1, {me}}, // a file that is no device: by inode
        {plain, self, {}},           {scratch.Path() + "missing", -1, {}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Text(ProcessesWithPortOpen(row.port, row.excluded)), Text(row.users))
            << row.port << " without " << row.excluded;
    }
}

TEST(SerialPorts, AHeldPortIsExclusiveUntilItIsClosed) {
    struct Row {
        bool exclusiveBefore; // set by another program (root may still open the port)
        bool exclusiveAfter;
    } rows[] = {{false, false}, {true, true}};
    for (const Row& row : rows) {
        PtyPair line;
        if (row.exclusiveBefore) {
            ASSERT_EQ(ioctl(line.slave.Get(), TIOCEXCL), 0);
            if (geteuid() != 0) {
                continue; // only root opens a port another program holds exclusively
            }
        }
        int exclusive = -1;
        uint32_t error = 0;
        SystemCause cause;
        std::unique_ptr<SerialDevice> device = SerialDevice::Open(line.path, error, cause);
        ASSERT_TRUE(device) << DescribeCause(cause);
        ASSERT_EQ(ioctl(line.slave.Get(), TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 1) << row.exclusiveBefore;
        if (geteuid() != 0) {
            UniqueFd intruder(open(line.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
            EXPECT_FALSE(intruder);
            EXPECT_EQ(errno, EBUSY);
        }
        device.reset();
        ASSERT_EQ(ioctl(line.slave.Get(), TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, row.exclusiveAfter ? 1 : 0) << row.exclusiveBefore;
    }
}

SerialPortInfo FtdiPort() {
    SerialPortInfo port;
    port.path = kFtdiById;
    port.device = "/dev/ttyUSB0";
    port.links = {kFtdiById};
    port.driver = "ftdi_sio";
    port.usb = kFtdi;
    port.lockedBy = PortUser{4711, "picocom"};
    port.openBy = {{4711, "picocom"}, {4712, "minicom"}};
    return port;
}

SerialPortInfo BoardPort() {
    SerialPortInfo port;
    port.path = "/dev/ttyS0";
    port.device = "/dev/ttyS0";
    port.driver = "serial";
    return port;
}

// Names a device or a program chose: control characters, bytes that are no UTF-8, accents.
SerialPortInfo StrangePort() {
    SerialPortInfo port;
    port.path = "/dev/ttyACM0";
    port.device = "/dev/ttyACM0";
    port.driver = "cdc_acm";
    port.usb = UsbIdentity{"1209", "0001",
                           "\xff"
                           "01",
                           "Caf\xc3\xa9", "Evil\x1b[2J"};
    port.openBy = {{99, "a\nb"}};
    return port;
}

TEST(SerialPorts, PrintsTheTableOfPorts) {
    struct Row {
        const char* what;
        std::vector<SerialPortInfo> ports;
        std::string text;
    } rows[] = {
        {"none", {}, "no serial ports found\n"},
        {"a USB adapter and a UART",
         {FtdiPort(), BoardPort()},
         "PORT                                                            DEVICE        DRIVER    USB ID     "
         "SERIAL "
         "   DESCRIPTION           IN USE BY\n"
         "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1ABC-if00-port0  /dev/ttyUSB0  ftdi_sio  0403:6001  "
         "A10K1ABC  FTDI FT232R USB UART  4711 (picocom, lock), 4712 (minicom)\n"
         "/dev/ttyS0                                                      /dev/ttyS0    serial    -          "
         "-    "
         "     -                     -\n"},
        {"strange names",
         {StrangePort()},
         "PORT          DEVICE        DRIVER   USB ID     SERIAL  DESCRIPTION    IN USE BY\n"
         "/dev/ttyACM0  /dev/ttyACM0  cdc_acm  1209:0001  ?01     Caf\xc3\xa9 Evil?[2J  99 (a?b)\n"},
        {"a lock holder without a name",
         {[] {
             SerialPortInfo port = BoardPort();
             port.lockedBy = PortUser{5, ""};
             return port;
         }()},
         "PORT        DEVICE      DRIVER  USB ID  SERIAL  DESCRIPTION  IN USE BY\n"
         "/dev/ttyS0  /dev/ttyS0  serial  -       -       -            5 (lock)\n"},
    };
    for (const Row& row : rows) {
        std::ostringstream out;
        PrintPortsTable(row.ports, out);
        EXPECT_EQ(out.str(), row.text) << row.what;
    }
}

TEST(SerialPorts, GivesThePortsAsJson) {
    struct Row {
        const char* what;
        std::vector<SerialPortInfo> ports;
        const char* json;
    } rows[] = {
        {"none", {}, "[]"},
        {"a USB adapter and a UART",
         {FtdiPort(), BoardPort()},
         R"([{"path": "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1ABC-if00-port0", "device": "/dev/ttyUSB0",
              "links": ["/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1ABC-if00-port0"], "driver": "ftdi_sio",
              "usb": {"vendor": "0403", "product": "6001", "serial": "A10K1ABC", "manufacturer": "FTDI",
                      "description": "FT232R USB UART"},
              "locked_by": {"pid": 4711, "name": "picocom"},
              "open_by": [{"pid": 4711, "name": "picocom"}, {"pid": 4712, "name": "minicom"}]},
             {"path": "/dev/ttyS0", "device": "/dev/ttyS0", "links": [], "driver": "serial", "usb": null,
              "locked_by": null, "open_by": []}])"},
        {"strange names",
         {StrangePort()},
         R"([{"path": "/dev/ttyACM0", "device": "/dev/ttyACM0", "links": [], "driver": "cdc_acm",
              "usb": {"vendor": "1209", "product": "0001", "serial": "\ufffd01", "manufacturer": "Caf\u00e9",
                      "description": "Evil\u001b[2J"},
              "locked_by": null, "open_by": [{"pid": 99, "name": "a\nb"}]}])"},
    };
    for (const Row& row : rows) {
        const nlohmann::ordered_json json = PortsJson(row.ports);
        EXPECT_EQ(json, nlohmann::ordered_json::parse(row.json)) << row.what << "\n" << json.dump(2);
        EXPECT_NO_THROW(json.dump()) << row.what;
    }
}

} // namespace
