#pragma once

#include "app/Catalogue.h"
#include "config/FileSystem.h"
#include "config/ProfileReader.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The list that shows a configuration's steps (the main dialog's steps list box).
class IStepsList {
public:
    virtual ~IStepsList() = default;
    virtual void ResetContent() = 0;
    virtual void AddString(const std::string& line) = 0;
};

// What reading a configuration needs from its surroundings; outlives every configuration.
struct ConfigurationContext {
    IProfileReader& profile;
    IFileSystem& files;
    const ITextCatalogue& catalogue;
};

// A 32-bit count that one thread writes while another reads it.
class SharedCount {
public:
    SharedCount() = default;
    SharedCount(const SharedCount& other) : value(other.value.load()) {}
    SharedCount& operator=(const SharedCount& other) {
        value.store(other.value.load());
        return *this;
    }
    SharedCount& operator=(uint32_t number) {
        value.store(number);
        return *this;
    }
    operator uint32_t() const { return value.load(); }

private:
    std::atomic<uint32_t> value{0};
};

// One loading step: the files to send and the bytes and time limits of its three phases.
class LoadingStep {
public:
    bool Validate(const IFileSystem& files) const;

    std::string title; // as the steps list shows it: the step's title, else its key
    std::string bootFile;
    std::string firmwareFile;
    uint8_t connectAck = 0;
    uint8_t bootAck = 0x11;
    uint8_t blockAck = 0x11;
    uint32_t connectAckTimeoutMs = 2000;
    uint32_t writeMsPerByte = 2;
    uint32_t bootAckTimeoutMs = 50000;
    uint32_t blockAckTimeoutMs = 10000;
    // Written by the download thread while the step runs, read for the progress texts.
    SharedCount blockCount;
};

// One download configuration: a .cfg file and its ordered, owned steps.
class Configuration {
public:
    // Reads the description; the steps are read by ParseSteps.
    Configuration(const ConfigurationContext& context, const std::string& path);
    virtual ~Configuration() = default;

    // Re-reads the steps from the file and lists them with their file checks. True when the
    // file names at least one step.
    bool ParseSteps(IStepsList& stepsList);
    // Every step names readable files; stops at the first that does not.
    virtual bool Validate();

    LoadingStep* FirstStep();
    LoadingStep* CurrentStep();
    LoadingStep* NextStep();

    const std::string& Path() const { return path; }
    const std::string& Description() const { return description; }
    const std::vector<std::unique_ptr<LoadingStep>>& Steps() const { return steps; }

private:
    void ReadStep(const std::string& name, IStepsList& stepsList);
    void CheckFile(std::string& value, unsigned noFileId, unsigned missingId, unsigned unreadableId,
                   const std::string& configurationDir, IStepsList& stepsList) const;

    const ConfigurationContext& context;
    const std::string path;
    std::string description;
    std::vector<std::unique_ptr<LoadingStep>> steps;
    // Index of the current step; steps.size() stands for none.
    size_t cursor = 0;
};
