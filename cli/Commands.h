#pragma once

#include "cli/CliOptions.h"

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
