#pragma once

#include "engine/EnginePlatform.h"

#include <string>

// The one-line summary of the port settings, e.g. "COM1: 38400, 8N1".
std::string PortSummary(const std::string& portName, const PortSettings& settings);
