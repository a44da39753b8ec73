#pragma once

#include "tools/sim/DeviceModel.h"

#include <string>

namespace sim {

// The key=value lines the simulator writes at exit (described in its --help).
std::string FormatSummary(const Counters& counters, const std::string& end, uint64_t hostCloses);

} // namespace sim
