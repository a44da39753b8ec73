#include "cli/CliOptions.h"

#include "record/History.h"

#include <CLI/CLI.hpp>

#include <algorithm>

namespace {

constexpr const char kUsage[] =
    "Usage: tovrin CFG -C PORT [-C PORT ...] -B RATE [-L LOG] [-A] [--report FILE] [--db FILE|URI]\n"
    "              [--json] [--progress auto|bar|lines|none] [-q] [--retries N] [--lang en|de]\n"
    "              [--framing 8N1]\n"
    "       tovrin check CFG [--json]\n"
    "       tovrin ports [PORT ...] [--json]\n"
    "       tovrin station CFG -B RATE [--watch DIR] [--match GLOB] [--db FILE|URI] [--logs DIR]\n"
    "              [--count N] [--existing] [--station-name NAME] [--json] [-q]\n"
    "       tovrin history [--db FILE|URI] [--since TIME] [--serial S] [--port P] [--station NAME] "
    "[--outcome O]\n"
    "              [--limit N] [--csv | --json]\n"
    "       tovrin board [--db FILE|URI] [--listen ADDR:PORT]";

constexpr const char kDescription[] =
    "Loads firmware into device controllers through their bootstrap loader over serial lines: for\n"
    "each loading step of the configuration CFG it wakes the loader with 0x00 bytes, sends the\n"
    "boot image padded to 960 bytes, then the program file block by block. Several ports are\n"
    "loaded in parallel, each with a log of its own (the port's name before the log's extension).\n"
    "\n"
    "Exit status: 0 when every device completed (\"*** Download finally completed\" and its log\n"
    "written); 1 when any failed; 2 when nothing was touched: a command-line error, or a\n"
    "configuration or step file that cannot be loaded (see 'tovrin check'); 130 after Ctrl-C\n"
    "(SIGINT), 143 after SIGTERM, 129 after SIGHUP.";

bool GermanLocale(const char* (*environment)(const char*)) {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = environment(name);
        if (value != nullptr && *value != '\0') {
            return std::string(value).rfind("de", 0) == 0;
        }
    }
    return false;
}

ParseOutcome Refuse(std::ostream& err, const std::string& message) {
    err << "tovrin: " << message << "\n" << kUsage << "\nRun 'tovrin --help' for more.\n";
    return ParseOutcome::Error;
}

ParseOutcome CheckRate(const CliOptions& options, std::ostream& err) {
    if (options.baudRate == 0) {
        return Refuse(err, "no baud rate given (-B RATE)");
    }
    const auto& rates = AcceptedBaudRates();
    if (std::find(rates.begin(), rates.end(), options.baudRate) == rates.end()) {
        return Refuse(err,
                      "baud rate " + std::to_string(options.baudRate) + " is not one of the accepted rates");
    }
    return ParseOutcome::Run;
}

// The transfer's own checks, which CLI11 cannot make while a subcommand may stand instead.
ParseOutcome CheckTransfer(CliOptions& options, std::ostream& err) {
    if (options.configFile.empty()) {
        return Refuse(err, "no configuration given (CFG)");
    }
    if (options.ports.empty()) {
        return Refuse(err, "no port given (-C PORT or --ports A,B,...)");
    }
    if (CheckRate(options, err) != ParseOutcome::Run) {
        return ParseOutcome::Error;
    }
    for (size_t i = 0; i < options.ports.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (options.ports[i] == options.ports[j] ||
                PortBaseName(options.ports[i]) == PortBaseName(options.ports[j])) {
                return Refuse(err, "ports " + options.ports[j] + " and " + options.ports[i] +
                                       " would share one log: name each device once");
            }
        }
    }
    return ParseOutcome::Run;
}

} // namespace

const std::vector<uint32_t>& AcceptedBaudRates() {
    static const std::vector<uint32_t> rates = {9600,   14400,  19200,  38400, 57600,
                                                115200, 230400, 460800, 921600};
    return rates;
}

bool ParseFraming(const std::string& text, PortSettings& framing) {
    static const std::string parities = "NOEMS";
    if (text.size() < 3 || text[0] < '5' || text[0] > '8') {
        return false;
    }
    const size_t parity = parities.find(static_cast<char>(std::toupper(static_cast<unsigned char>(text[1]))));
    const std::string stop = text.substr(2);
    if (parity == std::string::npos || (stop != "1" && stop != "1.5" && stop != "2")) {
        return false;
    }
    framing.dataSize = static_cast<uint8_t>(text[0] - '0');
    framing.parity = static_cast<uint8_t>(parity);
    framing.stopBits = stop == "1" ? 0 : (stop == "1.5" ? 1 : 2);
    return true;
}

std::string PortBaseName(const std::string& port) {
    std::string trimmed = port;
    while (trimmed.size() > 1 && trimmed.back() == '/') {
        trimmed.pop_back();
    }
    const size_t slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string PortLogName(const std::string& logFile, const std::string& port) {
    const size_t slash = logFile.rfind('/');
    const size_t dot = logFile.rfind('.');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    const std::string base = PortBaseName(port);
    if (!hasExtension) {
        return logFile + "." + base;
    }
    return logFile.substr(0, dot) + "." + base + logFile.substr(dot);
}

namespace {

// The options of the line and the output, which a transfer and a station share.
struct SharedTexts {
    std::string lang;
    std::string framing = "8N1";
    std::string progress = "auto";
};

void AddLineOptions(CLI::App& app, CliOptions& options, SharedTexts& texts) {
    app.add_option("-B,--baud", options.baudRate,
                   "baud rate: 9600 14400 19200 38400 57600 115200 230400 460800 921600")
        ->type_name("RATE");
    app.add_option("--retries", options.retries, "wake-up 0x00 bytes per step before giving up (default 30)")
        ->check(CLI::Range(1u, 1000000u))
        ->type_name("N");
    app.add_option("--lang", texts.lang,
                   "language of the texts (default: German in a German locale, else English)")
        ->check(CLI::IsMember({"en", "de"}))
        ->type_name("en|de");
    app.add_option("--framing", texts.framing, "data bits, parity (N O E M S), stop bits (default 8N1)")
        ->type_name("8N1");
    app.add_flag("--json", options.json, "JSON Lines on standard output: one object per event");
    app.add_option("--progress", texts.progress,
                   "progress: a bar on a terminal, else lines (auto), bar, lines, none")
        ->check(CLI::IsMember({"auto", "bar", "lines", "none"}))
        ->type_name("MODE");
    app.add_flag("-q,--quiet", options.quiet, "print only errors and one line per device at its end");
    app.add_option("--station-name", options.stationName,
                   "the station's name in the record store (default: host name)")
        ->type_name("NAME");
}

// The record store of a station or of history, and a server store's schema.
void AddStoreOptions(CLI::App& app, CliOptions& options) {
    app.add_option("--db", options.dbFile,
                   "the record store: a file (default $XDG_STATE_HOME/tovrin/records.db) or a PostgreSQL "
                   "server (postgresql://user@host/database)")
        ->type_name("FILE|URI");
    app.add_option("--db-schema", options.dbSchema, "a server store's schema (default tovrin)")
        ->type_name("NAME");
}

// The file each row is written to first when the store is a server (and, for a transfer, the
// server's schema: its --db is its own).
void AddServerOptions(CLI::App& app, CliOptions& options, bool schema = false) {
    if (schema) {
        app.add_option("--db-schema", options.dbSchema, "a server store's schema (default tovrin)")
            ->type_name("NAME");
    }
    app.add_option("--outbox", options.outboxFile,
                   "with a server store: the file each row is written to first and shipped from "
                   "(default $XDG_STATE_HOME/tovrin/records.db)")
        ->type_name("FILE");
}

} // namespace

ParseOutcome ParseCliOptions(int argc, const char* const* argv, CliOptions& options, std::ostream& out,
                             std::ostream& err, const char* (*environment)(const char*)) {
    CLI::App app(kDescription, "tovrin");
    app.set_version_flag("--version", "tovrin " TOVRIN_VERSION);
    app.require_subcommand(0, 1);
    std::vector<std::string> listed;
    SharedTexts texts;
    app.add_option("CFG", options.configFile, "download configuration (.cfg)");
    app.add_option("-C,--port", options.ports, "serial device, e.g. /dev/ttyUSB0; repeat for several devices")
        ->type_name("PORT")
        ->allow_extra_args(false);
    app.add_option("--ports", listed, "several serial devices, comma-separated")
        ->delimiter(',')
        ->allow_extra_args(false)
        ->type_name("A,B,...");
    app.add_option("-L,--log", options.logFile, "log file (default tovrin.log)")->type_name("LOG");
    app.add_flag("-A,--append", options.appendLog, "append a record to an existing log");
    app.add_option("--report", options.reportFile, "write the run's result as one JSON document to FILE")
        ->type_name("FILE");
    app.add_option("--db", options.dbFile,
                   "also record each device's run in this record store: a file, or a PostgreSQL server "
                   "(postgresql://user@host/database)")
        ->type_name("FILE|URI");
    AddServerOptions(app, options, true);
    AddLineOptions(app, options, texts);

    CLI::App* check = app.add_subcommand("check", "read the configuration and its step files, touch no port");
    check->add_option("CFG", options.configFile, "download configuration (.cfg)")->required();
    check->add_flag("--json", options.json, "the same as one JSON document");

    CLI::App* ports = app.add_subcommand("ports", "list the serial ports and who uses them");
    ports->add_option("PORT", options.ports, "describe these ports (any device or link, a pty too) instead")
        ->type_name("PORT");
    ports->add_flag("--json", options.json, "the same as JSON");

    CLI::App* station = app.add_subcommand("station", "load every board that is plugged in, and record it");
    station->add_option("CFG", options.configFile, "download configuration (.cfg)")->required();
    station
        ->add_option("--watch", options.watchFolder,
                     "the folder where devices appear (default /dev/serial/by-id)")
        ->type_name("DIR");
    station->add_option("--match", options.match, "only entries whose name matches (default *)")
        ->type_name("GLOB");
    AddStoreOptions(*station, options);
    AddServerOptions(*station, options);
    station
        ->add_option("--logs", options.logsFolder, "the folder of the runs' logs (default: the current one)")
        ->type_name("DIR");
    station->add_option("--count", options.count, "end after N runs (exit 0 when all completed, else 1)")
        ->check(CLI::Range(uint64_t(1), uint64_t(1) << 62))
        ->type_name("N");
    station->add_flag("--existing", options.existing, "also load the devices present at the start");
    AddLineOptions(*station, options, texts);

    CLI::App* history = app.add_subcommand("history", "list the recorded runs, newest first");
    AddStoreOptions(*history, options);
    history->add_option("--station", options.stationFilter, "runs of this station")->type_name("NAME");
    history->add_option("--since", options.since, kSinceHelp)->type_name("TIME");
    history->add_option("--serial", options.serial, "runs of the device with this USB serial number")
        ->type_name("S");
    history->add_option("--port", options.port, "runs on this port (the path the run opened)")
        ->type_name("P");
    history->add_option("--outcome", options.outcome, "completed, failed, cancelled or not-started")
        ->check(CLI::IsMember({"completed", "failed", "cancelled", "not-started"}))
        ->type_name("O");
    history->add_option("--limit", options.limit, "at most N runs, the newest")->type_name("N");
    CLI::Option* csv = history->add_flag("--csv", options.csv, "RFC 4180 CSV");
    history->add_flag("--json", options.json, "JSON")->excludes(csv);

    CLI::App* board =
        app.add_subcommand("board", "serve a web page of the stations, their slots and yield, and metrics");
    AddStoreOptions(*board, options);
    board
        ->add_option("--listen", options.listen,
                     "the address and port to serve on (default 127.0.0.1:8080: this machine only)")
        ->type_name("ADDR:PORT");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForVersion&) {
        out << app.version() << "\n";
        return ParseOutcome::Done;
    } catch (const CLI::CallForHelp&) {
        const CLI::App* asked = &app;
        for (const CLI::App* command : {check, ports, station, history, board}) {
            asked = command->parsed() ? command : asked;
        }
        out << asked->help() << "\n" << kUsage << "\n";
        return ParseOutcome::Done;
    } catch (const CLI::ParseError& failure) {
        return Refuse(err, failure.what());
    }
    const std::pair<const CLI::App*, CliCommand> commands[] = {{check, CliCommand::Check},
                                                               {ports, CliCommand::Ports},
                                                               {station, CliCommand::Station},
                                                               {history, CliCommand::History},
                                                               {board, CliCommand::Board}};
    for (const auto& [command, which] : commands) {
        if (command->parsed()) {
            options.command = which;
        }
    }
    options.ports.insert(options.ports.end(), listed.begin(), listed.end());
    options.progress = texts.progress == "bar"     ? ProgressChoice::Bar
                       : texts.progress == "lines" ? ProgressChoice::Lines
                       : texts.progress == "none"  ? ProgressChoice::None
                                                   : ProgressChoice::Auto;
    options.language = texts.lang == "de" || (texts.lang.empty() && GermanLocale(environment))
                           ? CatalogueLanguage::German
                           : CatalogueLanguage::English;
    if (!ParseFraming(texts.framing, options.framing)) {
        return Refuse(err, "framing " + texts.framing +
                               " is not data bits 5-8, parity N O E M S and stop bits 1, 1.5 or 2");
    }
    options.framing.baudRate = options.baudRate;
    switch (options.command) {
    case CliCommand::Transfer:
        return CheckTransfer(options, err);
    case CliCommand::Station:
        return CheckRate(options, err);
    default:
        return ParseOutcome::Run;
    }
}
