#pragma once

#include "engine/EnginePlatform.h"

#include <string>

// The one-line summary of the port settings, e.g. "COM1: 38400, 8N1".
std::string PortSummary(const std::string& portName, const PortSettings& settings);
// The same from the main dialog's five port settings as the store gave them: a parity or
// stop-bit code outside the tables shows as '?', however large or negative it is.
std::string PortSummary(const std::string& portName, int baudRate, int dataSize, int parity, int stopBits);
