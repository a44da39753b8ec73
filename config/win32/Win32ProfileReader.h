#pragma once

#include "config/ProfileReader.h"

// The Windows build's profile reader: GetPrivateProfileStringA and GetPrivateProfileIntA with
// the caller's buffer sizes.
class Win32ProfileReader : public IProfileReader {
public:
    unsigned GetString(const char* section, const char* key, const char* defaultText, char* buffer,
                       unsigned size, const std::string& fileName) override;
    // GetPrivateProfileIntA returns "-5" as 4294967291; a result that is negative as a 32-bit
    // number gives 0.
    unsigned GetInt(const char* section, const char* key, int defaultValue,
                    const std::string& fileName) override;
};
