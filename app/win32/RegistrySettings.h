#pragma once

#include "app/SettingsStore.h"

#include <windows.h>

#include <string>

// An open registry key, closed when it goes.
class RegKey {
public:
    RegKey() = default;
    ~RegKey() { Close(); }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    LONG Open(HKEY parent, const std::string& path, REGSAM access);
    LONG Create(HKEY parent, const std::string& path, REGSAM access);
    void Close();
    HKEY Get() const { return key; }
    explicit operator bool() const { return key != nullptr; }

private:
    HKEY key = nullptr;
};

// The settings store on the registry: below HKLM, the key kSettingsKey with one sub-key per
// section. The application object is one of these.
class RegistrySettingsStore : public ISettingsStore {
public:
    static const char* const kSettingsKey;

    explicit RegistrySettingsStore(HKEY root = HKEY_LOCAL_MACHINE, std::string key = kSettingsKey)
        : m_hSettingsRoot(root), m_strSettingsKey(std::move(key)) {}

    bool RegSubKeyExists(const std::string& section) override;
    bool CreateSettingsKey() override;
    std::string ReadRegString(const std::string& section, const std::string& name,
                              const char* defaultText) override;
    int32_t ReadRegDword(const std::string& section, const std::string& name, int32_t defaultValue) override;
    bool WriteRegString(const std::string& section, const std::string& name,
                        const std::string& text) override;
    bool WriteRegDword(const std::string& section, const std::string& name, int32_t value) override;

    HKEY m_hSettingsRoot;
    std::string m_strSettingsKey;

private:
    bool OpenSectionForReading(const std::string& section, RegKey& settings, RegKey& sectionKey) const;
    bool WriteValue(const std::string& section, const std::string& name, DWORD newType, const BYTE* data,
                    DWORD size);
};
