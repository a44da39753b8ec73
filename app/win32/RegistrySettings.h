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

// The reference program is 32-bit: on 64-bit Windows its settings, the host product's keys and
// the serial map live in the 32-bit view of HKLM. Every HKLM key of the program is opened in
// that view, so that the i686 and the x86_64 builds share them (32-bit Windows ignores the flag).
constexpr REGSAM kProgramView = KEY_WOW64_32KEY;

// HKEY_LOCAL_MACHINE\path in the program's view (settings store, host product, serial map).
LONG OpenMachineKey(RegKey& key, const std::string& path, REGSAM access);
LONG CreateMachineKey(RegKey& key, const std::string& path, REGSAM access);

// The settings store on the registry: below HKLM, the key kSettingsKey with one sub-key per
// section, all in the program's view. The application object is one of these.
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
