#pragma once

#include "config/IniDocument.h"
#include "config/ProfileReader.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

// The native build's profile reader. It reads a file the way the Windows build's
// GetPrivateProfileStringA and GetPrivateProfileIntA read it under Wine 8, byte for byte, so
// that both builds see the same configuration (the shared conformance table holds the cases):
// - a value longer than the buffer is cut to size - 1 characters and size - 1 returned; a key
//   list that does not fit is cut and size - 2 returned;
// - a value in matching quotes loses them; a default loses its trailing spaces;
// - a missing key or section gives the default; so does a key list whose first name is empty;
// - a missing file reads as an empty one; a file that cannot be read (a folder, no access, a
//   missing folder, larger than 64 MiB) gives the default without removing its quotes;
// - integers as the platform reads them (decimal, 0x hex, 0o octal, 0b binary, sign, stop at the
//   first other character, at most 29 characters), except that a result that is negative as a
//   32-bit number gives 0.
// The last file read stays parsed while its size and time of change stay the same.
class IniProfileReader : public IProfileReader {
public:
    unsigned GetString(const char* section, const char* key, const char* defaultText, char* buffer,
                       unsigned size, const std::string& fileName) override;
    unsigned GetInt(const char* section, const char* key, int defaultValue,
                    const std::string& fileName) override;

private:
    struct ParsedFile {
        std::string fileName;
        uintmax_t size = 0;
        std::filesystem::file_time_type changed;
        IniDocument document;
    };

    // The wide profile call: what it writes into `size` units and returns.
    unsigned GetWideString(const char* section, const char* key, const char* defaultText, char16_t* buffer,
                           unsigned size, const std::string& fileName);
    // The file's document, the empty one for a missing file, or null when it cannot be read.
    const IniDocument* Load(const std::string& fileName);

    const IniDocument empty{std::string()};
    std::unique_ptr<ParsedFile> parsed;
};
