#include "tools/sim/Scenario.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace sim {
namespace {

// Decimal, or hexadecimal with 0x; the whole text must be the number.
std::optional<uint64_t> ParseUnsigned(const std::string& text, uint64_t max) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') {
        return std::nullopt;
    }
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value > max) {
        return std::nullopt;
    }
    return value;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            return parts;
        }
        start = end + 1;
    }
}

// "name=value" split at the first '='.
bool SplitAssignment(const std::string& text, std::string& name, std::string& value) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0) {
        return false;
    }
    name = text.substr(0, equals);
    value = text.substr(equals + 1);
    return true;
}

// "before:SITE" or "after:SITE".
bool ParsePoint(const std::string& text, Site& site, bool& afterAck) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) {
        return false;
    }
    const std::string when = text.substr(0, colon);
    if (when != "before" && when != "after") {
        return false;
    }
    const auto parsed = ParseSite(text.substr(colon + 1));
    if (!parsed) {
        return false;
    }
    site = *parsed;
    afterAck = when == "after";
    return true;
}

std::optional<std::chrono::milliseconds> ParseSeconds(const std::string& text) {
    const auto seconds = ParseUnsigned(text, 24 * 3600);
    if (!seconds) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(*seconds * 1000);
}

// One option of the command line; returns false with error set.
class CommandLineParser {
public:
    explicit CommandLineParser(const std::vector<std::string>& args) : args_(args) {}

    ParseResult Run() {
        for (index_ = 0; index_ < args_.size() && result_.error.empty() && !result_.help; ++index_) {
            Option(args_[index_]);
        }
        if (result_.error.empty() && !result_.help) {
            Check();
        }
        return std::move(result_);
    }

private:
    void Fail(const std::string& text) {
        if (result_.error.empty()) {
            result_.error = text;
        }
    }

    // The value of an option that takes one; nothing (and an error) when it is missing.
    std::optional<std::string> Value(const std::string& option) {
        if (index_ + 1 >= args_.size()) {
            Fail(option + " needs a value");
            return std::nullopt;
        }
        return args_[++index_];
    }

    void Option(const std::string& option);
    void StepOption(const std::string& value);
    void AckOption(const std::string& value);
    void OutputOption(const std::string& value, bool flood);
    void Check();

    const std::vector<std::string>& args_;
    std::size_t index_ = 0;
    ParseResult result_;
};

void CommandLineParser::Option(const std::string& option) {
    Options& options = result_.options;
    Scenario& scenario = options.scenario;
    if (option == "--help" || option == "-h") {
        result_.help = true;
        return;
    }
    if (option == "--alt-ack") {
        scenario.alternateAck = true;
        return;
    }
    if (option == "--silent") {
        scenario.silent = true;
        return;
    }
    if (option == "--restart-on-reopen") {
        options.restartOnReopen = true;
        return;
    }
    const bool takesValue = option == "--step" || option == "--ack" || option == "--output" ||
                            option == "--flood" || option == "--disconnect" || option == "--baud" ||
                            option == "--link" || option == "--record" || option == "--summary" ||
                            option == "--idle-timeout" || option == "--linger";
    if (!takesValue) {
        Fail("unknown option " + option);
        return;
    }
    const auto value = Value(option);
    if (!value) {
        return;
    }
    if (option == "--step") {
        StepOption(*value);
    } else if (option == "--ack") {
        AckOption(*value);
    } else if (option == "--output" || option == "--flood") {
        OutputOption(*value, option == "--flood");
    } else if (option == "--disconnect") {
        scenario.disconnectAt = ParseSite(*value);
        if (!scenario.disconnectAt) {
            Fail("--disconnect: bad site " + *value);
        }
    } else if (option == "--baud") {
        const auto baud = ParseUnsigned(*value, 10'000'000);
        if (!baud) {
            Fail("--baud: bad rate " + *value);
            return;
        }
        scenario.baud = static_cast<unsigned>(*baud);
    } else if (option == "--link") {
        options.linkPath = *value;
    } else if (option == "--record") {
        options.recordPath = *value;
    } else if (option == "--summary") {
        options.summaryPath = *value;
    } else {
        const auto time = ParseSeconds(*value);
        if (!time) {
            Fail(option + ": bad number of seconds " + *value);
            return;
        }
        (option == "--idle-timeout" ? options.idleTimeout : options.linger) = *time;
    }
}

void CommandLineParser::StepOption(const std::string& value) {
    std::string error;
    const auto step = ParseStep(value, error);
    if (!step) {
        Fail("--step: " + error);
        return;
    }
    result_.options.scenario.steps.push_back(*step);
}

void CommandLineParser::AckOption(const std::string& value) {
    std::string siteText, modes;
    if (!SplitAssignment(value, siteText, modes)) {
        Fail("--ack: expected SITE=MODE, got " + value);
        return;
    }
    const auto site = ParseSite(siteText);
    AckFault fault;
    if (!site || !ParseAckFault(modes, fault)) {
        Fail("--ack: bad site or mode in " + value);
        return;
    }
    result_.options.scenario.faults[*site] = fault;
}

void CommandLineParser::OutputOption(const std::string& value, bool flood) {
    const char* option = flood ? "--flood" : "--output";
    std::string pointText, payload;
    Emission emission;
    if (!SplitAssignment(value, pointText, payload) ||
        !ParsePoint(pointText, emission.site, emission.afterAck)) {
        Fail(std::string(option) + ": expected before:SITE=... or after:SITE=..., got " + value);
        return;
    }
    if (flood) {
        const auto count = ParseUnsigned(payload, 1'000'000'000);
        if (!count) {
            Fail("--flood: bad byte count " + payload);
            return;
        }
        emission.bytes = FloodText(*count);
    } else {
        const auto text = ParseEscapedText(payload);
        if (!text) {
            Fail("--output: bad escape in " + payload);
            return;
        }
        emission.bytes = *text;
    }
    result_.options.scenario.outputs.push_back(std::move(emission));
}

void CommandLineParser::Check() {
    const Scenario& scenario = result_.options.scenario;
    if (scenario.steps.empty()) {
        Fail("at least one --step is needed");
    }
    auto known = [&](const Site& site) { return site.step <= static_cast<int>(scenario.steps.size()); };
    for (const auto& [site, fault] : scenario.faults) {
        if (!known(site)) {
            Fail("--ack names step " + std::to_string(site.step) + ", which is not configured");
        }
    }
    for (const Emission& emission : scenario.outputs) {
        if (!known(emission.site)) {
            Fail("--output/--flood names step " + std::to_string(emission.site.step) +
                 ", which is not configured");
        }
    }
    if (scenario.disconnectAt && !known(*scenario.disconnectAt)) {
        Fail("--disconnect names a step that is not configured");
    }
}

} // namespace

std::optional<uint8_t> ParseByte(const std::string& text) {
    const auto value = ParseUnsigned(text, 0xFF);
    if (!value) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(*value);
}

std::optional<Site> ParseSite(const std::string& text) {
    const std::vector<std::string> parts = Split(text, '.');
    const auto step = parts.empty() ? std::nullopt : ParseUnsigned(parts[0], 1'000'000);
    if (!step || *step == 0 || parts.size() < 2) {
        return std::nullopt;
    }
    Site site;
    site.step = static_cast<int>(*step);
    if (parts.size() == 2 && parts[1] == "connect") {
        site.phase = Phase::Connect;
        return site;
    }
    if (parts.size() == 2 && parts[1] == "boot") {
        site.phase = Phase::Boot;
        return site;
    }
    const auto block =
        parts.size() == 3 && parts[1] == "block" ? ParseUnsigned(parts[2], 100'000'000) : std::nullopt;
    if (!block || *block == 0) {
        return std::nullopt;
    }
    site.phase = Phase::Block;
    site.block = static_cast<int>(*block);
    return site;
}

std::optional<std::string> ParseEscapedText(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
            continue;
        }
        if (++i == text.size()) {
            return std::nullopt;
        }
        switch (text[i]) {
        case 'r':
            bytes += '\r';
            break;
        case 'n':
            bytes += '\n';
            break;
        case 't':
            bytes += '\t';
            break;
        case '\\':
            bytes += '\\';
            break;
        case 'x': {
            const auto value = i + 2 < text.size() ? ParseByte("0x" + text.substr(i + 1, 2)) : std::nullopt;
            if (!value) {
                return std::nullopt;
            }
            bytes += static_cast<char>(*value);
            i += 2;
            break;
        }
        default:
            return std::nullopt;
        }
    }
    return bytes;
}

std::optional<StepPlan> ParseStep(const std::string& text, std::string& error) {
    StepPlan step;
    bool haveAck = false;
    bool haveProgram = false;
    for (const std::string& item : Split(text, ',')) {
        std::string name, value;
        if (!SplitAssignment(item, name, value)) {
            error = "expected key=value, got '" + item + "'";
            return std::nullopt;
        }
        if (name == "ack") {
            const auto ack = ParseByte(value);
            if (!ack) {
                error = "ack must be a byte, got " + value;
                return std::nullopt;
            }
            step.connectAck = *ack;
            haveAck = true;
        } else if (name == "zeros") {
            const auto zeros =
                value == "never" ? std::optional<uint64_t>(0) : ParseUnsigned(value, 1'000'000);
            if (!zeros || (*zeros == 0 && value != "never")) {
                error = "zeros must be a positive number or never, got " + value;
                return std::nullopt;
            }
            step.wakeZeros = static_cast<unsigned>(*zeros);
        } else if (name == "size") {
            const auto size = ParseUnsigned(value, UINT32_MAX);
            if (!size) {
                error = "size must be a number of bytes, got " + value;
                return std::nullopt;
            }
            step.programSize = *size;
            haveProgram = true;
        } else if (name == "program") {
            std::error_code code;
            const auto size = std::filesystem::file_size(value, code);
            if (code) {
                error = "cannot read the size of " + value + ": " + code.message();
                return std::nullopt;
            }
            step.programSize = size;
            haveProgram = true;
        } else {
            error = "unknown key " + name;
            return std::nullopt;
        }
    }
    if (!haveAck || !haveProgram) {
        error = "a step needs ack= and program= or size=";
        return std::nullopt;
    }
    return step;
}

bool ParseAckFault(const std::string& text, AckFault& fault) {
    AckFault parsed;
    for (const std::string& mode : Split(text, ',')) {
        if (mode == "none") {
            parsed.missing = true;
        } else if (mode == "alt") {
            parsed.byte = kAlternateAck;
        } else if (mode.rfind("byte:", 0) == 0) {
            parsed.byte = ParseByte(mode.substr(5));
            if (!parsed.byte) {
                return false;
            }
        } else if (mode.rfind("late:", 0) == 0) {
            const auto ms = ParseUnsigned(mode.substr(5), 24 * 3600 * 1000);
            if (!ms) {
                return false;
            }
            parsed.delay = std::chrono::milliseconds(*ms);
        } else {
            return false;
        }
    }
    fault = parsed;
    return true;
}

std::string FloodText(uint64_t count) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr std::size_t kLetters = sizeof kAlphabet - 1;
    std::string text;
    text.reserve(count);
    for (std::size_t line = 0; text.size() < count; ++line) {
        for (std::size_t i = 0; i < kLetters && text.size() < count; ++i) {
            text += kAlphabet[(line + i) % kLetters];
        }
        text += "\r\n";
    }
    text.resize(count);
    return text;
}

ParseResult ParseCommandLine(const std::vector<std::string>& args) {
    return CommandLineParser(args).Run();
}

std::string UsageText() {
    return R"(Usage: tovrin-sim --step FIELDS [--step FIELDS ...] [options]

Plays a controller's bootstrap loader on a pseudo-terminal. The first line on standard
output is the path of the terminal's slave side; the host opens it as its serial port.
For each step in turn the device answers the wake-up 0x00 bytes with the step's connect
acknowledge, receives the 960-byte boot image and answers 0x11, then receives the program
file block by block (length byte L, then L+4 bytes) and answers 0x11 after each block.
After the block that reaches the step's program size it waits for the next step's wake-up
zeros. It exits when the last step is done and the host has closed the port (or --linger
has passed), after --idle-timeout without traffic, after --disconnect, or on SIGTERM/SIGINT.

Steps:
  --step FIELDS           one loading step, comma-separated key=value pairs:
                          ack=BYTE       connect acknowledge (decimal or 0xNN), required
                          zeros=N|never  answer the N-th wake-up zero (default 1)
                          program=FILE   the step's program file (only its size is used;
                                         the path may not contain a comma)
                          size=BYTES     the program file's size instead of program=
                        The device cannot tell a wake-up zero from a block of L=0 by
                        itself: the program size tells it where a step ends.

Sites (one acknowledge): S.connect, S.boot, S.block.K   (S and K count from 1)

Faults and behaviour:
  --ack SITE=MODE[,MODE]  at SITE: none (the byte never reaches the line), late:MS (sent
                        MS milliseconds late), byte:BYTE (this byte instead), alt (0xD5
                        instead). The device goes on as if it had answered normally; during
                        a late connect acknowledge further zeros still count as wake-up.
  --alt-ack             answer every acknowledge with 0xD5
  --silent              never answer anything
  --output POINT=TEXT   device output at POINT: before:SITE or after:SITE. TEXT takes
                        \r \n \t \\ and \xNN; repeat the option for several texts
  --flood POINT=COUNT   COUNT bytes of printable lines (CR LF) at POINT, as fast as the
                        line allows
  --disconnect SITE     close the pty master after SITE's acknowledge and output (combine
                        with --ack SITE=none to vanish before answering)
  --baud RATE           pace the line at RATE baud, 10 bits per byte: an acknowledge leaves
                        only once the bytes before it would have crossed a real line, and
                        output is sent at that rate (default 0: no pacing)

Port and results:
  --link PATH           symlink PATH to the slave (e.g. $WINEPREFIX/dosdevices/com12);
                        an existing link is replaced, the link is removed at exit
  --record FILE         every byte received, in order
  --summary FILE        key=value summary at exit (default: standard error)
  --idle-timeout SEC    exit after SEC seconds without traffic (default 30)
  --linger SEC          after the last step, wait up to SEC seconds for the host to
                        close the port (default 2)
  --restart-on-reopen   when the host opens the port again after closing it, start over
                        at the first step (a power-cycled device)
  --help                this text

Summary keys: end (complete, disconnect, idle-timeout, signal), steps, steps_completed,
received_bytes, sent_bytes, zeros, boot_images, blocks, extra_bytes (after the last step),
host_closes, first_to_last_us (first byte received to the last byte on the line, either
direction), host_reply_us (mean time from the device's output to the host's next bytes), and
per step S: stepS.zeros, stepS.stray_bytes (non-zero bytes while waiting
for wake-up), stepS.boot_images, stepS.blocks, stepS.program_bytes, stepS.completed.

Exit status: 0 when the steps were completed (or the configured disconnect happened),
3 when the simulator ended before that, 2 on a usage error, 1 on a system error.
)";
}

} // namespace sim
