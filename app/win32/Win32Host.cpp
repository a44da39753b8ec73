#include "app/win32/Win32Host.h"

#include "app/win32/RegistrySettings.h"
#include "framework/Framework.h"

#include <direct.h>
#include <io.h>

const char* const Win32LanguageHost::kHostKey = "SOFTWARE\\Korvane\\VANTORA";

std::optional<std::string> ProgramPath() {
    // A program deep in a folder tree has a path of MAX_PATH characters or more: the buffer
    // grows until the whole path fits (a cut one would name another file).
    constexpr DWORD kLongestPath = 32768;
    for (DWORD size = MAX_PATH; size <= kLongestPath; size *= 2) {
        std::string path(size, '\0');
        DWORD length = ::GetModuleFileNameA(nullptr, &path[0], size);
        if (length == 0) {
            return std::nullopt;
        }
        if (length < size) {
            path.resize(length);
            return path;
        }
    }
    return std::nullopt;
}

std::optional<std::string> CurrentDirectory() {
    char path[MAX_PATH] = {};
    if (::_getcwd(path, MAX_PATH) == nullptr) {
        return std::nullopt;
    }
    return std::string(path);
}

std::string ProgramFolder() {
    if (std::optional<std::string> path = ProgramPath()) {
        size_t last = path->rfind('\\');
        return last == std::string::npos ? std::string() : path->substr(0, last);
    }
    return CurrentDirectory().value_or(std::string());
}

std::string ResourceCatalogue::LoadText(unsigned id) const {
    return LoadStringFrom(module != nullptr ? module : AfxGetResourceHandle(), id);
}

bool Win32FileSystem::FileExists(const std::string& path) const {
    if (path.empty()) {
        return false;
    }
    _finddata_t found{};
    intptr_t search = ::_findfirst(path.c_str(), &found);
    if (search == -1) {
        return false;
    }
    ::_findclose(search);
    return true;
}

bool Win32FileSystem::FileReadable(const std::string& path) const {
    if (path.empty()) {
        return false;
    }
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_READONLY, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    // Only a file on a disk is a step file: a device such as NUL or COM1, or a pipe, opens as
    // well, but gives no file (NUL reads as empty) or a read that never ends (a COM port).
    const bool onDisk = ::GetFileType(file) == FILE_TYPE_DISK;
    ::CloseHandle(file);
    return onDisk;
}

namespace {

std::optional<std::string> QueryText(HKEY key, const char* name) {
    char buffer[MAX_PATH + 1] = {};
    DWORD size = MAX_PATH;
    DWORD type = 0;
    if (::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) {
        return std::nullopt;
    }
    return std::string(buffer, ::strnlen(buffer, size < MAX_PATH ? size : MAX_PATH));
}

} // namespace

bool Win32LanguageHost::ReadHostKey(std::optional<std::string>& current,
                                    std::optional<std::string>& sysPath) {
    RegKey host;
    if (OpenMachineKey(host, kHostKey, KEY_READ) != ERROR_SUCCESS) {
        return false;
    }
    RegKey languages;
    if (languages.Open(host.Get(), "Languages", KEY_READ | kProgramView) == ERROR_SUCCESS) {
        current = QueryText(languages.Get(), "Current");
        languages.Close();
    }
    sysPath = QueryText(host.Get(), "SysPath");
    return true;
}

HINSTANCE LoadLanguageLibrary(const std::string& path) {
    return ::LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE);
}
