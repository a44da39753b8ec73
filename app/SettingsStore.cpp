#include "app/SettingsStore.h"

#include <cstring>

namespace {
constexpr size_t kTextBuffer = 260;
constexpr size_t kNumberBuffer = 4;
} // namespace

const MemorySettingsStore::Value* MemorySettingsStore::Find(const std::string& section,
                                                            const std::string& name) const {
    auto key = sections.find(section);
    if (!keyExists || key == sections.end()) {
        return nullptr;
    }
    auto value = key->second.find(name);
    return value == key->second.end() ? nullptr : &value->second;
}

bool MemorySettingsStore::RegSubKeyExists(const std::string& section) {
    return keyExists && sections.count(section) != 0;
}

bool MemorySettingsStore::CreateSettingsKey() {
    if (!writable) {
        return false;
    }
    keyExists = true;
    return true;
}

std::string MemorySettingsStore::ReadRegString(const std::string& section, const std::string& name,
                                               const char* defaultText) {
    const Value* value = Find(section, name);
    if (value == nullptr || value->bytes.size() > kTextBuffer) {
        return defaultText ? defaultText : "";
    }
    // Taken as a zero-terminated text, whatever the stored type.
    return std::string(value->bytes.c_str());
}

int32_t MemorySettingsStore::ReadRegDword(const std::string& section, const std::string& name,
                                          int32_t defaultValue) {
    const Value* value = Find(section, name);
    if (value == nullptr || value->bytes.size() > kNumberBuffer) {
        return defaultValue;
    }
    unsigned char buffer[kNumberBuffer] = {0, 0, 0, 0};
    std::memcpy(buffer, value->bytes.data(), value->bytes.size());
    uint32_t number =
        buffer[0] | (buffer[1] << 8) | (buffer[2] << 16) | (static_cast<uint32_t>(buffer[3]) << 24);
    return static_cast<int32_t>(number);
}

MemorySettingsStore::Value* MemorySettingsStore::Prepare(const std::string& section,
                                                         const std::string& name) {
    if (!CreateSettingsKey()) {
        return nullptr;
    }
    return &sections[section][name];
}

bool MemorySettingsStore::WriteRegString(const std::string& section, const std::string& name,
                                         const std::string& text) {
    bool existed = Find(section, name) != nullptr;
    Value* value = Prepare(section, name);
    if (value == nullptr) {
        return false;
    }
    if (!existed) {
        value->isText = true;
    }
    value->bytes = std::string(text.c_str()) + '\0';
    return true;
}

bool MemorySettingsStore::WriteRegDword(const std::string& section, const std::string& name, int32_t number) {
    bool existed = Find(section, name) != nullptr;
    Value* value = Prepare(section, name);
    if (value == nullptr) {
        return false;
    }
    if (!existed) {
        value->isText = false;
    }
    uint32_t bits = static_cast<uint32_t>(number);
    value->bytes = std::string{static_cast<char>(bits & 0xFF), static_cast<char>((bits >> 8) & 0xFF),
                               static_cast<char>((bits >> 16) & 0xFF), static_cast<char>(bits >> 24)};
    return true;
}
