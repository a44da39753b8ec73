#pragma once

#include "config/ProfileReader.h"

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// One call of a profile reader on one file, with what GetPrivateProfileStringA and
// GetPrivateProfileIntA answer on Wine 8. The native reader and the Win32 reader both run every
// case and must give the same answer.
struct ProfileCase {
    enum class File { Written, Missing, MissingFolder, Folder };
    enum class Call { String, Int };

    std::string name; // letters, digits and '_'
    File file = File::Written;
    std::function<std::string()> content; // the file's bytes when written, made when the case runs
    Call call = Call::String;
    std::optional<std::string> section; // none passes a null pointer
    std::optional<std::string> key;
    std::optional<std::string> defaultText;
    unsigned size = 0;     // buffer of a string call
    int defaultValue = 0;  // default of an integer call
    unsigned expected = 0; // return value
    // What a string call writes from the buffer's start, its final zero included; the bytes
    // after it stay untouched.
    std::string written;
};

std::vector<ProfileCase> ProfileCases();
void PrintTo(const ProfileCase& c, std::ostream* out);

struct ProfileOutcome {
    unsigned result = 0;
    std::string written; // the buffer's bytes up to the expected length
    bool restUntouched = true;
};

// Prepares the case's file as `fileName` in `folder` (a path that ends with its separator) and
// makes the call.
ProfileOutcome RunProfileCase(IProfileReader& reader, const ProfileCase& c, const std::string& folder,
                              const std::string& fileName);
