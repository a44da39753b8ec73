#pragma once

#include <string>

// Reading of INI-format files with the semantics of GetPrivateProfileStringA and
// GetPrivateProfileIntA: section and key names match without regard to case, keys are
// listed in file order, a value longer than the buffer is cut, a missing key gives the default.
class IProfileReader {
public:
    virtual ~IProfileReader() = default;
    // With key null: the section's key names, each followed by a zero, the list ending with a
    // second zero. Returns the number of characters copied, not counting the final zero.
    virtual unsigned GetString(const char* section, const char* key, const char* defaultText, char* buffer,
                               unsigned size, const std::string& fileName) = 0;
    // Decimal digits; text without a number gives 0; a negative number gives 0.
    virtual unsigned GetInt(const char* section, const char* key, int defaultValue,
                            const std::string& fileName) = 0;

    // The value of one key as text, read through a buffer of the given size.
    std::string ReadString(const char* section, const char* key, const char* defaultText, unsigned size,
                           const std::string& fileName);
};
