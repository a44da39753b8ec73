#include "cli/CliOptions.h"

#include <CLI/CLI.hpp>

#include <algorithm>

namespace {

constexpr const char kUsage[] =
    "Usage: tovrin CFG -C PORT [-C PORT ...] -B RATE [-L LOG] [-A] [--report FILE] [--json]\n"
    "              [--progress auto|bar|lines|none] [-q] [--retries N] [--lang en|de] [--framing 8N1]\n"
    "       tovrin check CFG [--json]\n"
    "       tovrin ports [PORT ...] [--json]";

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

// The transfer's own checks, which CLI11 cannot make while a subcommand may stand instead.
ParseOutcome CheckTransfer(CliOptions& options, std::ostream& err) {
    if (options.configFile.empty()) {
        return Refuse(err, "no configuration given (CFG)");
    }
    if (options.ports.empty()) {
        return Refuse(err, "no port given (-C PORT or --ports A,B,...)");
    }
    if (options.baudRate == 0) {
        return Refuse(err, "no baud rate given (-B RATE)");
    }
    const auto& rates = AcceptedBaudRates();
    if (std::find(rates.begin(), rates.end(), options.baudRate) == rates.end()) {
        return Refuse(err,
                      "baud rate " + std::to_string(options.baudRate) + " is not one of the accepted rates");
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

ParseOutcome ParseCliOptions(int argc, const char* const* argv, CliOptions& options, std::ostream& out,
                             std::ostream& err, const char* (*environment)(const char*)) {
    CLI::App app(kDescription, "tovrin");
    app.set_version_flag("--version", "tovrin " TOVRIN_VERSION);
    app.require_subcommand(0, 1);
    std::vector<std::string> listed;
    std::string lang;
    std::string framing = "8N1";
    std::string progress = "auto";
    app.add_option("CFG", options.configFile, "download configuration (.cfg)");
    app.add_option("-C,--port", options.ports, "serial device, e.g. /dev/ttyUSB0; repeat for several devices")
        ->type_name("PORT")
        ->allow_extra_args(false);
    app.add_option("--ports", listed, "several serial devices, comma-separated")
        ->delimiter(',')
        ->allow_extra_args(false)
        ->type_name("A,B,...");
    app.add_option("-B,--baud", options.baudRate,
                   "baud rate: 9600 14400 19200 38400 57600 115200 230400 460800 921600")
        ->type_name("RATE");
    app.add_option("-L,--log", options.logFile, "log file (default tovrin.log)")->type_name("LOG");
    app.add_flag("-A,--append", options.appendLog, "append a record to an existing log");
    app.add_option("--report", options.reportFile, "write the run's result as one JSON document to FILE")
        ->type_name("FILE");
    app.add_flag("--json", options.json,
                 "JSON Lines on standard output: one object per event, the report last");
    app.add_option("--progress", progress,
                   "progress: a bar on a terminal, else lines (auto), bar, lines, none")
        ->check(CLI::IsMember({"auto", "bar", "lines", "none"}))
        ->type_name("MODE");
    app.add_flag("-q,--quiet", options.quiet, "print only errors and one line per device at the end");
    app.add_option("--retries", options.retries, "wake-up 0x00 bytes per step before giving up (default 30)")
        ->check(CLI::Range(1u, 1000000u))
        ->type_name("N");
    app.add_option("--lang", lang, "language of the texts (default: German in a German locale, else English)")
        ->check(CLI::IsMember({"en", "de"}))
        ->type_name("en|de");
    app.add_option("--framing", framing, "data bits, parity (N O E M S), stop bits (default 8N1)")
        ->type_name("8N1");

    CLI::App* check = app.add_subcommand(
        "check", "read the configuration and every step file as a transfer would and list the steps "
                 "(exit 0), or name the first problem (exit 2); no port is touched");
    check->add_option("CFG", options.configFile, "download configuration (.cfg)")->required();
    check->add_flag("--json", options.json, "the same as one JSON document");
    CLI::App* ports = app.add_subcommand(
        "ports", "list the serial ports: by-id names, USB vendor, product and serial number, driver, "
                 "and the processes that hold or have them open");
    ports->add_option("PORT", options.ports, "describe these ports (any device or link, a pty too) instead")
        ->type_name("PORT");
    ports->add_flag("--json", options.json, "the same as JSON");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForVersion&) {
        out << app.version() << "\n";
        return ParseOutcome::Done;
    } catch (const CLI::CallForHelp&) {
        const CLI::App* asked = check->parsed() ? check : (ports->parsed() ? ports : &app);
        out << asked->help() << "\n" << kUsage << "\n";
        return ParseOutcome::Done;
    } catch (const CLI::ParseError& failure) {
        return Refuse(err, failure.what());
    }
    if (check->parsed()) {
        options.command = CliCommand::Check;
    } else if (ports->parsed()) {
        options.command = CliCommand::Ports;
    }
    options.ports.insert(options.ports.end(), listed.begin(), listed.end());
    options.progress = progress == "bar"     ? ProgressChoice::Bar
                       : progress == "lines" ? ProgressChoice::Lines
                       : progress == "none"  ? ProgressChoice::None
                                             : ProgressChoice::Auto;
    options.language = lang == "de" || (lang.empty() && GermanLocale(environment))
                           ? CatalogueLanguage::German
                           : CatalogueLanguage::English;
    if (!ParseFraming(framing, options.framing)) {
        return Refuse(err, "framing " + framing +
                               " is not data bits 5-8, parity N O E M S and stop bits 1, 1.5 or 2");
    }
    options.framing.baudRate = options.baudRate;
    return options.command == CliCommand::Transfer ? CheckTransfer(options, err) : ParseOutcome::Run;
}
