#pragma once

#include "app/Catalogue.h"
#include "cli/RunResult.h"

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// The first thing that keeps a configuration from being loaded, found before any port is
// touched.
struct ConfigurationProblem {
    std::string file;  // the file it is about, as named
    std::string words; // what is wrong, in Linux words ("No such file or directory")
    // The transfer refuses such a configuration itself before it opens a port (no
    // configuration, no steps, a step file missing or unreadable): its log says so in its own
    // words. Otherwise the log records the catalogue message below, which the transfer would
    // have ended with after opening the port.
    bool refusedByTransfer = false;
    unsigned id = 0;
    uint32_t code = 0;
    std::string argument;
};

// A configuration and its step files, read exactly as a transfer reads them.
struct ConfigurationFacts {
    std::string path;   // absolute
    std::string sha256; // of the .cfg file; empty when it cannot be read
    std::vector<StepFacts> steps;
    std::optional<ConfigurationProblem> problem;
};

ConfigurationFacts InspectConfiguration(const std::string& path, const ITextCatalogue& catalogue);

// The step files as one run reads them: each file's bytes, read once, by absolute path (the
// engine sends these), and the steps' facts made from those bytes. A file that cannot be read
// now keeps the facts it was checked with and is not among the bytes: the transfer opens it,
// and fails on it, itself.
struct StepFiles {
    std::vector<StepFacts> steps;
    std::unordered_map<std::string, std::shared_ptr<const std::string>> bytes;
};
StepFiles ReadStepFiles(const std::vector<StepFacts>& checked);

// The SHA-256 of a file's bytes as lower-case hex, with its size; false with errno set when it
// cannot be read.
bool HashFile(const std::string& path, std::string& sha256, uint64_t& size);

// The absolute form of a path (the current folder before a relative one), without resolving links.
std::string AbsolutePath(const std::string& path);
