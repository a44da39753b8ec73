#pragma once

#include "engine/posix/PortUsers.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

// The serial ports of the machine and the programs that use them, as sysfs, /dev and /proc tell.
// Readers take the root folder those trees hang from ("/" on a live system), so that tests can
// give a fake tree. Nothing here opens a port: opening one raises DTR, which resets many boards.

// What a USB serial adapter says of itself.
struct UsbIdentity {
    std::string vendor;       // idVendor, four hex digits: "0403"
    std::string product;      // idProduct: "6001"
    std::string serial;       // the serial number string; empty when the device has none
    std::string manufacturer; // the manufacturer string: "FTDI"
    std::string description;  // the product string: "FT232R USB UART"
};

struct SerialPortInfo {
    std::string path;               // the /dev/serial/by-id name where there is one, else the device
    std::string device;             // the device node: "/dev/ttyUSB0"
    std::vector<std::string> links; // the /dev/serial/by-id names that lead to the device
    std::string driver;             // "ftdi_sio", "cdc_acm", "serial"
    std::optional<UsbIdentity> usb; // none for a port that is no USB device
    std::optional<PortUser> lockedBy;
    std::vector<PortUser> openBy; // every other process that has it open, the lock holder included
};

// The tty behind a port ("/dev/ttyUSB0", a /dev/serial/by-id link, any symbolic link resolved
// within the root): its name, "ttyUSB0". Empty when the path names no tty of sysfs (a pty).
std::string TtyName(const std::string& port, const std::string& root = "/");

// The USB device of a port, from the first folder above the tty's device in sysfs that has an
// idVendor. None for a port that is no USB device (a pty, a UART of the board).
std::optional<UsbIdentity> ReadUsbIdentity(const std::string& port, const std::string& root = "/");

// The driver of a port's device: "ftdi_sio", "cdc_acm", "serial8250", "serial". Ports of the
// kernel's serial core (since Linux 6.5) hang from a "port" device of their own: for them it is
// the driver of the UART beneath, as older kernels name it. Empty when the tty has none.
std::string PortDriver(const std::string& port, const std::string& root = "/");

// The processes that have the port open (through any name of it), found as fuser does: every
// /proc/<pid>/fd/<n> that leads to the same device, in pid order. Leaves out excludePid (the
// caller's own) and, silently, the processes whose descriptors we may not see.
std::vector<PortUser> ProcessesWithPortOpen(const std::string& port, long excludePid);

// Every tty of sysfs with a device that has a driver, save the UARTs of the serial core whose
// type is unknown (0: no chip behind them, as most of a PC's 32 ttyS ports), in the order of
// their paths (ttyS2 before ttyS10). Processes are looked up in <root>/proc, the caller left out.
std::vector<SerialPortInfo> ListSerialPorts(const std::string& root = "/");

// One port named by the user, any device or link to one (a pty too), described as the listing
// describes the machine's ports; the caller is left out of its users.
SerialPortInfo DescribePort(const std::string& port);

// The `ports` command's table (port, device, driver, USB id, serial, description, user), or
// "no serial ports found".
void PrintPortsTable(const std::vector<SerialPortInfo>& ports, std::ostream& out);

// The same as JSON: an array of {"path", "device", "links", "driver", "usb", "locked_by",
// "open_by"}; "usb" is {"vendor", "product", "serial", "manufacturer", "description"} or null,
// "locked_by" {"pid", "name"} or null, "open_by" an array of {"pid", "name"}. Texts are UTF-8
// (bytes that are not become U+FFFD), so the document always serialises.
nlohmann::ordered_json PortsJson(const std::vector<SerialPortInfo>& ports);

// One port's "usb" value of that document: the object, or null.
nlohmann::ordered_json UsbJson(const std::optional<UsbIdentity>& usb);
