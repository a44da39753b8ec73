#pragma once

#include "app/Catalogue.h"
#include "config/Configuration.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

// Download configurations held in memory: a profile reader over INI sections that the test
// writes, and file tests over a set of names. Reads follow GetPrivateProfile* closely enough
// for the configuration model (keys in order, case-blind names, defaults).
class MemoryProfile : public IProfileReader {
public:
    using Keys = std::vector<std::pair<std::string, std::string>>;

    void Set(const std::string& file, const std::string& section, const std::string& key,
             const std::string& value) {
        Keys& keys = sections[{file, Upper(section)}];
        for (auto& entry : keys) {
            if (Upper(entry.first) == Upper(key)) {
                entry.second = value;
                return;
            }
        }
        keys.emplace_back(key, value);
    }

    unsigned GetString(const char* section, const char* key, const char* defaultText, char* buffer,
                       unsigned size, const std::string& fileName) override {
        std::string result;
        auto found = sections.find({fileName, Upper(section)});
        if (key == nullptr) {
            if (found != sections.end()) {
                for (const auto& entry : found->second) {
                    result += entry.first;
                    result += '\0';
                }
            }
        } else {
            result = defaultText;
            if (found != sections.end()) {
                for (const auto& entry : found->second) {
                    if (Upper(entry.first) == Upper(key)) {
                        result = entry.second;
                    }
                }
            }
        }
        unsigned length = std::min<unsigned>(static_cast<unsigned>(result.size()), size == 0 ? 0 : size - 1);
        std::memcpy(buffer, result.data(), length);
        if (size > 0) {
            buffer[length] = '\0';
        }
        return length;
    }

    unsigned GetInt(const char* section, const char* key, int defaultValue,
                    const std::string& fileName) override {
        char buffer[64];
        if (GetString(section, key, "", buffer, sizeof buffer, fileName) == 0) {
            return static_cast<unsigned>(defaultValue);
        }
        int value = std::atoi(buffer);
        return value < 0 ? 0u : static_cast<unsigned>(value);
    }

private:
    static std::string Upper(std::string text) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return std::toupper(c); });
        return text;
    }
    std::map<std::pair<std::string, std::string>, Keys> sections;
};

class MemoryFileSystem : public IFileSystem {
public:
    std::set<std::string> readable;
    bool FileExists(const std::string& path) const override { return readable.count(path) != 0; }
    bool FileReadable(const std::string& path) const override { return readable.count(path) != 0; }
};

class DiscardedStepsList : public IStepsList {
public:
    void ResetContent() override {}
    void AddString(const std::string&) override {}
};

// One step of a configuration as written in its file.
struct StepEntry {
    std::string bootFile;
    std::string firmwareFile;
    unsigned ackByte;
};

// The surroundings of configurations made in a test; they outlive every configuration.
class MemoryConfigurations {
public:
    MemoryConfigurations() : catalogue(CatalogueLanguage::English), context{profile, files, catalogue} {}

    // A configuration file with the steps given, its step files readable unless `missing`.
    std::unique_ptr<Configuration> Make(const std::string& path, const std::vector<StepEntry>& steps,
                                        const std::string& missing = "") {
        profile.Set(path, "LoadingSteps", "Description", "test downloads");
        for (size_t i = 0; i < steps.size(); ++i) {
            const std::string name = "Step" + std::to_string(i + 1);
            profile.Set(path, "LoadingSteps", name, name);
            profile.Set(path, name, "AckByte", std::to_string(steps[i].ackByte));
            profile.Set(path, name, "BootFile", steps[i].bootFile);
            profile.Set(path, name, "Firmware", steps[i].firmwareFile);
            for (const std::string& file : {steps[i].bootFile, steps[i].firmwareFile}) {
                if (file != missing) {
                    files.readable.insert(file);
                }
            }
        }
        auto configuration = std::make_unique<Configuration>(context, path);
        DiscardedStepsList list;
        configuration->ParseSteps(list);
        return configuration;
    }

    MemoryProfile profile;
    MemoryFileSystem files;
    BuiltInCatalogue catalogue;
    ConfigurationContext context;
};
