// tovrin ports: the serial ports of the machine, or the ports named, and who uses them.
#include "cli/Commands.h"
#include "cli/Report.h"
#include "cli/SerialPorts.h"

#include <cstdio>
#include <iostream>

int RunPorts(const CliOptions& options) {
    std::vector<SerialPortInfo> ports;
    if (options.ports.empty()) {
        ports = ListSerialPorts();
    } else {
        for (const std::string& port : options.ports) {
            ports.push_back(DescribePort(port));
        }
    }
    if (options.json) {
        std::fputs(JsonLine(PortsJson(ports)).c_str(), stdout);
    } else {
        PrintPortsTable(ports, std::cout);
    }
    return kExitCompleted;
}
