#pragma once

#include "app/Catalogue.h"
#include "app/Language.h"
#include "config/FileSystem.h"

#include <windows.h>

#include <optional>
#include <string>

// The program file's full path (GetModuleFileNameA, 260 characters), or nothing.
std::optional<std::string> ProgramPath();
// The current directory (_getcwd, 260 characters), or nothing.
std::optional<std::string> CurrentDirectory();
// The program file's folder, cut before its last backslash; else the current directory; else empty.
std::string ProgramFolder();

// Catalogue texts from one resource module, or from the current one when none is given.
class ResourceCatalogue : public ITextCatalogue {
public:
    explicit ResourceCatalogue(HINSTANCE module = nullptr) : module(module) {}
    std::string LoadText(unsigned id) const override;

private:
    HINSTANCE module;
};

// _findfirst and CreateFileA.
class Win32FileSystem : public IFileSystem {
public:
    bool FileExists(const std::string& path) const override;
    bool FileReadable(const std::string& path) const override;
};

// The host product's registry key, the user's locale and the program folder.
class Win32LanguageHost : public ILanguageHost {
public:
    static const char* const kHostKey;

    bool ReadHostKey(std::optional<std::string>& current, std::optional<std::string>& sysPath) override;
    uint32_t UserDefaultLcid() override { return ::GetUserDefaultLCID(); }
    std::string ProgramFolder() override { return ::ProgramFolder(); }
    bool FileExists(const std::string& path) override { return files.FileExists(path); }

private:
    Win32FileSystem files;
};

// A language library holds resources only: it is mapped as an image resource and data file,
// never run, so that a library planted in the search path cannot execute code in the program.
HINSTANCE LoadLanguageLibrary(const std::string& path);
