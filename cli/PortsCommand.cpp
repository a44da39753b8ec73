// tovrin ports (replaced when the port discovery lands).
#include "cli/Commands.h"

int RunPorts(const CliOptions&) {
    return kExitFailed;
}
