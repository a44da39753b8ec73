#pragma once

#include "app/Catalogue.h"
#include "engine/EnginePlatform.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

enum class CliCommand {
    Transfer, // tovrin CFG -C PORT ...: load the devices
    Check,    // tovrin check CFG: read the configuration and its files, touch no port
    Ports,    // tovrin ports: list the serial ports
    Station,  // tovrin station CFG -B RATE: load every board that is plugged in
    History,  // tovrin history: the recorded runs
    Board,    // tovrin board: the line's stations, slots and yield in a browser, and metrics
};

enum class ProgressChoice { Auto, Bar, Lines, None };

// What `tovrin` was asked to do.
struct CliOptions {
    CliCommand command = CliCommand::Transfer;
    std::string configFile;
    std::vector<std::string> ports; // device paths, in the order given
    uint32_t baudRate = 0;
    PortSettings framing; // the baud rate is set from baudRate
    std::string logFile = "tovrin.log";
    bool appendLog = false;
    uint32_t retries = 30;
    CatalogueLanguage language = CatalogueLanguage::English;
    std::string reportFile; // --report: the JSON document of the run
    bool json = false;      // JSON Lines on standard output instead of text
    ProgressChoice progress = ProgressChoice::Auto;
    bool quiet = false; // only errors and the end lines
    std::string
        dbFile; // --db: the record store, a file or a server's URI; the station's default is the user's
    std::string
        outboxFile; // --outbox: with a server store, the file written first (default: the user's store)
    std::string dbSchema = "tovrin"; // --db-schema: the server schema of the record store
    std::string stationName;         // --station-name: the station's name in the record (default: host)
    // station
    std::string watchFolder = "/dev/serial/by-id";
    std::string match = "*";
    std::string logsFolder = ".";
    uint64_t count = 0; // runs before the station ends; 0: no end
    bool existing = false;
    // history
    std::string since;
    std::string serial;
    std::string port;
    std::string outcome;
    std::string stationFilter; // history --station
    bool csv = false;
    size_t limit = 0;
    // board
    std::string listen = "127.0.0.1:8080";
};

enum class ParseOutcome {
    Run,   // go on
    Done,  // --help or --version was answered: exit 0
    Error, // a command-line error was reported with the usage: exit 2
};

// Parses the command line. `environment` gives the locale variables (LC_ALL, LC_MESSAGES, LANG)
// that choose German when --lang is not given. Help goes to `out`, errors to `err`.
ParseOutcome ParseCliOptions(int argc, const char* const* argv, CliOptions& options, std::ostream& out,
                             std::ostream& err, const char* (*environment)(const char*));

// The rates the tool accepts: the six of the Windows program, and three faster ones.
const std::vector<uint32_t>& AcceptedBaudRates();

// A framing such as "8N1", "7E1" or "8N2": data bits, parity (N O E M S), stop bits (1, 1.5, 2).
bool ParseFraming(const std::string& text, PortSettings& framing);

// The log of one of several ports: the port's base name inserted before the extension
// ("run.log" and /dev/ttyUSB0 give "run.ttyUSB0.log").
std::string PortLogName(const std::string& logFile, const std::string& port);
std::string PortBaseName(const std::string& port);
