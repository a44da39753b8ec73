#include "config/win32/Win32Catalogue.h"

#include <windows.h>

bool OpensForReadingShared(const std::string& path) {
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    ::CloseHandle(file);
    return true;
}

std::string FindRecentConfiguration(ISettingsStore& settings) {
    return FindRecentConfiguration(settings, OpensForReadingShared);
}
