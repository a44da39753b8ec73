// tovrin check: the configuration and its step files, read as a transfer reads them.
#include "cli/Commands.h"
#include "cli/ConfigurationCheck.h"
#include "cli/Console.h"
#include "cli/Report.h"

#include <cstdio>
#include <iostream>

namespace {

std::string FileLine(const char* what, const FileFacts& file) {
    return std::string("  ") + what + ForTerminal(file.path) + ", " + std::to_string(file.size) + " bytes";
}

void PrintSteps(const ConfigurationFacts& facts) {
    std::printf("Configuration %s\n  sha256 %s\n", ForTerminal(facts.path).c_str(), facts.sha256.c_str());
    uint64_t bytes = 0;
    for (size_t i = 0; i < facts.steps.size(); ++i) {
        const StepFacts& step = facts.steps[i];
        std::printf("Step %zu: %s (Ack = %02X)\n", i + 1, ForTerminal(step.title).c_str(), step.ackByte);
        std::printf("%s\n    sha256 %s\n", FileLine("boot file     ", step.bootFile).c_str(),
                    step.bootFile.sha256.c_str());
        std::printf("%s in %u blocks\n    sha256 %s\n", FileLine("program file  ", step.programFile).c_str(),
                    step.blocks, step.programFile.sha256.c_str());
        bytes += 960 + step.programFile.size;
    }
    std::printf("Ready: %zu steps, %llu bytes to send after the wake-up.\n", facts.steps.size(),
                static_cast<unsigned long long>(bytes));
}

nlohmann::ordered_json CheckJson(const ConfigurationFacts& facts) {
    nlohmann::ordered_json problem = nullptr;
    if (facts.problem) {
        problem = {{"file", Utf8(facts.problem->file)}, {"text", Utf8(facts.problem->words)}};
    }
    return {{"tool", "tovrin"},
            {"version", TOVRIN_VERSION},
            {"configuration", Utf8(facts.path)},
            {"sha256",
             facts.sha256.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(facts.sha256)},
            {"ok", !facts.problem},
            {"problem", problem},
            {"steps", facts.problem ? nlohmann::ordered_json::array() : StepsJson(facts.steps)}};
}

} // namespace

int RunCheck(const CliOptions& options) {
    const BuiltInCatalogue catalogue(options.language);
    const ConfigurationFacts facts = InspectConfiguration(options.configFile, catalogue);
    if (options.json) {
        std::fputs(JsonLine(CheckJson(facts)).c_str(), stdout);
    } else if (!facts.problem) {
        PrintSteps(facts);
    }
    if (facts.problem) {
        std::cerr << "tovrin: " << ForTerminal(facts.problem->file) << ": " << facts.problem->words << "\n";
        return kExitRefused;
    }
    return kExitCompleted;
}
