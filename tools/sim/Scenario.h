#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

// What the simulated controller does: its loading steps and the faults and device output of
// a test scenario. Built from the command line, consumed by DeviceModel.
namespace sim {

using Time = std::chrono::nanoseconds; // since an arbitrary, fixed epoch

inline constexpr uint8_t kBootAck = 0x11;
inline constexpr uint8_t kBlockAck = 0x11;
inline constexpr uint8_t kAlternateAck = 0xD5;
inline constexpr std::size_t kBootImageSize = 960;

enum class Phase { Connect, Boot, Block };

// One acknowledge of the protocol: the connect, boot or k-th block acknowledge of a step.
struct Site {
    int step = 1; // 1-based
    Phase phase = Phase::Connect;
    int block = 0; // 1-based, only for Phase::Block

    bool operator<(const Site& other) const {
        return std::tie(step, phase, block) < std::tie(other.step, other.phase, other.block);
    }
    bool operator==(const Site& other) const {
        return std::tie(step, phase, block) == std::tie(other.step, other.phase, other.block);
    }
};

struct StepPlan {
    uint8_t connectAck = 0;
    unsigned wakeZeros = 1;   // the device answers the n-th wake-up zero; 0 = never
    uint64_t programSize = 0; // bytes of the program file: its last block ends the step
};

// A fault at one acknowledge. The device goes on as if it had answered normally.
struct AckFault {
    bool missing = false;        // the byte never reaches the line
    std::optional<uint8_t> byte; // sent instead of the configured byte
    std::chrono::milliseconds delay{0};
};

// Device output next to an acknowledge.
struct Emission {
    Site site;
    bool afterAck = false; // false: just before the acknowledge
    std::string bytes;
};

struct Scenario {
    std::vector<StepPlan> steps;
    std::map<Site, AckFault> faults;
    std::vector<Emission> outputs;    // in command-line order
    std::optional<Site> disconnectAt; // after this acknowledge and its output
    bool alternateAck = false;        // every acknowledge is 0xD5
    bool silent = false;              // never answers anything
    unsigned baud = 0;                // 0: bytes cross the line at once
};

// Run-time settings of the simulator program around the model.
struct Options {
    Scenario scenario;
    std::string linkPath;
    std::string recordPath;
    std::string summaryPath; // empty: standard error
    std::chrono::milliseconds idleTimeout{30000};
    std::chrono::milliseconds linger{2000};
    bool restartOnReopen = false;
};

struct ParseResult {
    Options options;
    bool help = false;
    std::string error; // empty on success
};

ParseResult ParseCommandLine(const std::vector<std::string>& args);
std::string UsageText();

// Pieces of the command-line syntax, exposed for the tests. Each returns nothing on a syntax
// error.
std::optional<uint8_t> ParseByte(const std::string& text);            // 197, 0xC5
std::optional<Site> ParseSite(const std::string& text);               // 1.connect, 2.boot, 1.block.7
std::optional<std::string> ParseEscapedText(const std::string& text); // \r \n \t \\ \xNN
std::optional<StepPlan> ParseStep(const std::string& text, std::string& error);
bool ParseAckFault(const std::string& text, AckFault& fault);

// Printable lines ending in CR LF, cut to exactly count bytes; never an acknowledge byte
// of the boot or program phase.
std::string FloodText(uint64_t count);

} // namespace sim
