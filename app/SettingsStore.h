#pragma once

#include <cstdint>
#include <map>
#include <string>

// The persistent settings: one key of the program's own with one sub-key per section
// ("Configuration", "Recent File List", the presence-only "Debug"). Readers never fail towards
// the caller: anything missing or unreadable yields the default, and nothing is created.
// Writers keep the stored type of a value that exists and create texts and numbers otherwise.
class ISettingsStore {
public:
    virtual ~ISettingsStore() = default;
    virtual bool RegSubKeyExists(const std::string& section) = 0;
    virtual bool CreateSettingsKey() = 0;
    virtual std::string ReadRegString(const std::string& section, const std::string& name,
                                      const char* defaultText) = 0;
    virtual int32_t ReadRegDword(const std::string& section, const std::string& name,
                                 int32_t defaultValue) = 0;
    virtual bool WriteRegString(const std::string& section, const std::string& name,
                                const std::string& text) = 0;
    virtual bool WriteRegDword(const std::string& section, const std::string& name, int32_t value) = 0;
};

// Names of the store's sections and values.
namespace settings {
constexpr const char* kConfiguration = "Configuration";
constexpr const char* kRecentFileList = "Recent File List";
constexpr const char* kDebug = "Debug";
} // namespace settings

// A store in memory with the registry's rules (260-byte texts, 4-byte numbers, types kept):
// the native build's store and the tests' stand-in for the registry.
class MemorySettingsStore : public ISettingsStore {
public:
    struct Value {
        bool isText = false;
        std::string bytes; // raw value data as the registry would hold it
    };

    bool RegSubKeyExists(const std::string& section) override;
    bool CreateSettingsKey() override;
    std::string ReadRegString(const std::string& section, const std::string& name,
                              const char* defaultText) override;
    int32_t ReadRegDword(const std::string& section, const std::string& name, int32_t defaultValue) override;
    bool WriteRegString(const std::string& section, const std::string& name,
                        const std::string& text) override;
    bool WriteRegDword(const std::string& section, const std::string& name, int32_t value) override;

    bool keyExists = false;
    bool writable = true;
    std::map<std::string, std::map<std::string, Value>> sections; // names compared as given

private:
    const Value* Find(const std::string& section, const std::string& name) const;
    Value* Prepare(const std::string& section, const std::string& name);
};
