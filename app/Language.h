#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The languages the program knows; German is built in, every other one comes from the
// resource library "Tovrin%d.DLL" with its number.
struct LanguageRow {
    int number;
    const char* code;
    const char* name;
};
constexpr int kLanguageCount = 5;
extern const LanguageRow kLanguageTable[kLanguageCount];

// What the language choice needs from the machine.
class ILanguageHost {
public:
    virtual ~ILanguageHost() = default;
    // The host product's key HKLM "SOFTWARE\Korvane\VANTORA": false when it does not open.
    // Otherwise "Current" of its sub-key "Languages" and its own "SysPath", each only when it
    // could be read as a text (REG_SZ, REG_EXPAND_SZ or REG_MULTI_SZ, at most 260 bytes).
    virtual bool ReadHostKey(std::optional<std::string>& current, std::optional<std::string>& sysPath) = 0;
    virtual uint32_t UserDefaultLcid() = 0;
    // The program file's folder; the current directory when that is unknown; else empty.
    virtual std::string ProgramFolder() = 0;
    virtual bool FileExists(const std::string& path) = 0;
};

struct LanguageChoice {
    int number = 0;
    std::string code;        // empty when the user's locale decided
    std::string libraryPath; // the library to load; empty for German
};

LanguageChoice SelectLanguage(ILanguageHost& host);

// The language number of a locale's primary language.
int LanguageFromLcid(uint32_t lcid);
