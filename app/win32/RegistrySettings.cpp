#include "app/win32/RegistrySettings.h"

#include <cstring>

const char* const RegistrySettingsStore::kSettingsKey =
    "Software\\Korvane\\Quillon\\2.0\\Applications\\qoltenix\\Tovrin";

namespace {
constexpr DWORD kTextBuffer = 260;
} // namespace

LONG RegKey::Open(HKEY parent, const std::string& path, REGSAM access) {
    Close();
    return ::RegOpenKeyExA(parent, path.c_str(), 0, access, &key);
}

LONG RegKey::Create(HKEY parent, const std::string& path, REGSAM access) {
    Close();
    return ::RegCreateKeyExA(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key,
                             nullptr);
}

LONG OpenMachineKey(RegKey& key, const std::string& path, REGSAM access) {
    return key.Open(HKEY_LOCAL_MACHINE, path, access | kProgramView);
}

LONG CreateMachineKey(RegKey& key, const std::string& path, REGSAM access) {
    return key.Create(HKEY_LOCAL_MACHINE, path, access | kProgramView);
}

void RegKey::Close() {
    if (key != nullptr) {
        ::RegCloseKey(key);
        key = nullptr;
    }
}

bool RegistrySettingsStore::OpenSectionForReading(const std::string& section, RegKey& settings,
                                                  RegKey& sectionKey) const {
    return settings.Open(m_hSettingsRoot, m_strSettingsKey, KEY_READ | kProgramView) == ERROR_SUCCESS &&
           sectionKey.Open(settings.Get(), section, KEY_READ | kProgramView) == ERROR_SUCCESS;
}

bool RegistrySettingsStore::RegSubKeyExists(const std::string& section) {
    RegKey settings;
    RegKey sectionKey;
    return OpenSectionForReading(section, settings, sectionKey);
}

bool RegistrySettingsStore::CreateSettingsKey() {
    RegKey settings;
    return settings.Create(m_hSettingsRoot, m_strSettingsKey, KEY_WRITE | kProgramView) == ERROR_SUCCESS;
}

std::string RegistrySettingsStore::ReadRegString(const std::string& section, const std::string& name,
                                                 const char* defaultText) {
    std::string result = defaultText != nullptr ? defaultText : "";
    RegKey settings;
    RegKey sectionKey;
    if (!OpenSectionForReading(section, settings, sectionKey)) {
        return result;
    }
    // One spare zero: a stored text need not end with one.
    char buffer[kTextBuffer + 1] = {};
    DWORD size = kTextBuffer;
    if (::RegQueryValueExA(sectionKey.Get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer),
                           &size) == ERROR_SUCCESS) {
        result.assign(buffer, ::strnlen(buffer, size < kTextBuffer ? size : kTextBuffer));
    }
    return result;
}

int32_t RegistrySettingsStore::ReadRegDword(const std::string& section, const std::string& name,
                                            int32_t defaultValue) {
    RegKey settings;
    RegKey sectionKey;
    if (!OpenSectionForReading(section, settings, sectionKey)) {
        return defaultValue;
    }
    DWORD value = 0;
    DWORD size = sizeof value;
    if (::RegQueryValueExA(sectionKey.Get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                           &size) != ERROR_SUCCESS) {
        return defaultValue;
    }
    return static_cast<int32_t>(value);
}

// Keeps the type of a value that exists. The section is opened for writing and, so that the
// type can be asked, for querying: a key opened for writing alone refuses the query.
bool RegistrySettingsStore::WriteValue(const std::string& section, const std::string& name, DWORD newType,
                                       const BYTE* data, DWORD size) {
    CreateSettingsKey();
    RegKey settings;
    RegKey sectionKey;
    if (settings.Open(m_hSettingsRoot, m_strSettingsKey, KEY_WRITE | kProgramView) != ERROR_SUCCESS ||
        sectionKey.Create(settings.Get(), section, KEY_WRITE | KEY_QUERY_VALUE | kProgramView) !=
            ERROR_SUCCESS) {
        return false;
    }
    DWORD type = 0;
    if (::RegQueryValueExA(sectionKey.Get(), name.c_str(), nullptr, &type, nullptr, nullptr) !=
        ERROR_SUCCESS) {
        type = newType;
    }
    return ::RegSetValueExA(sectionKey.Get(), name.c_str(), 0, type, data, size) == ERROR_SUCCESS;
}

bool RegistrySettingsStore::WriteRegString(const std::string& section, const std::string& name,
                                           const std::string& text) {
    const std::string value = text.c_str(); // up to its first zero, then one zero
    return WriteValue(section, name, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>(value.size() + 1));
}

bool RegistrySettingsStore::WriteRegDword(const std::string& section, const std::string& name,
                                          int32_t value) {
    DWORD data = static_cast<DWORD>(value);
    return WriteValue(section, name, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
}
