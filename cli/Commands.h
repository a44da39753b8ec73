#pragma once

#include "cli/CliOptions.h"
#include "cli/Report.h"
#include "cli/RunOutput.h"

// The commands of `tovrin`; each returns the process's exit status.

// Exit statuses of every command.
constexpr int kExitCompleted = 0;
constexpr int kExitFailed = 1;
constexpr int kExitRefused = 2; // nothing was touched: the command line or the configuration
constexpr int kExitSignalBase = 128;

// Loads the configuration into every port given, in parallel.
int RunTransfer(const CliOptions& options);
// Reads the configuration and its step files as a transfer would, touching no port.
int RunCheck(const CliOptions& options);
// Lists the serial ports of the machine.
int RunPorts(const CliOptions& options);
// Loads every board plugged into the station's folder and records it.
int RunStation(const CliOptions& options);
// Lists the recorded runs.
int RunHistory(const CliOptions& options);
// tovrin board: serves the board until a termination signal (exit 0); 2 when refused.
int RunBoard(const CliOptions& options);

// The station's name in the records: --station-name, else the host's name.
std::string StationName(const CliOptions& options);
