#include "config/win32/Win32ProfileReader.h"

#include <windows.h>

#include <cstdint>

unsigned Win32ProfileReader::GetString(const char* section, const char* key, const char* defaultText,
                                       char* buffer, unsigned size, const std::string& fileName) {
    return ::GetPrivateProfileStringA(section, key, defaultText, buffer, size, fileName.c_str());
}

unsigned Win32ProfileReader::GetInt(const char* section, const char* key, int defaultValue,
                                    const std::string& fileName) {
    const UINT value = ::GetPrivateProfileIntA(section, key, defaultValue, fileName.c_str());
    return static_cast<int32_t>(value) < 0 ? 0u : value;
}
