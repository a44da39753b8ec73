// tovrin: batch downloads into device controllers from Linux, one or many serial ports at once.
#include "cli/CliOptions.h"
#include "cli/Commands.h"

#include <cstdlib>
#include <iostream>

namespace {

const char* Environment(const char* name) {
    return std::getenv(name);
}

} // namespace

int main(int argc, char** argv) {
    CliOptions options;
    switch (ParseCliOptions(argc, argv, options, std::cout, std::cerr, Environment)) {
    case ParseOutcome::Done:
        return kExitCompleted;
    case ParseOutcome::Error:
        return kExitRefused;
    case ParseOutcome::Run:
        break;
    }
    switch (options.command) {
    case CliCommand::Check:
        return RunCheck(options);
    case CliCommand::Ports:
        return RunPorts(options);
    case CliCommand::Station:
        return RunStation(options);
    case CliCommand::History:
        return RunHistory(options);
    case CliCommand::Board:
        return RunBoard(options);
    case CliCommand::Transfer:
        break;
    }
    return RunTransfer(options);
}
