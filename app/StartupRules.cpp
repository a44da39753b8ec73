#include "app/StartupRules.h"

#include "app/TextFormat.h"
#include "config/PathUtil.h"

#include <cstdlib>

std::string DefaultLogName(const std::string& programPath) {
    if (programPath.empty()) {
        return std::string(); // no ".LOG" in whatever folder is current
    }
    PathParts parts = SplitPath(programPath);
    return MakePath(parts.drive, parts.dir, parts.fname, ".LOG");
}

std::string ResolveConfigFile(const std::string& name, const IFileSystem& files,
                              const std::optional<std::string>& currentDirectory,
                              const std::string& programFolder) {
    if (name.empty()) {
        return std::string();
    }
    if (files.FileExists(name)) {
        if (name.find('\\') != std::string::npos || !currentDirectory) {
            return name;
        }
        return FormatText("%s\\%s", {*currentDirectory, name});
    }
    std::string inProgramFolder = FormatText("%s\\%s", {programFolder, name});
    return files.FileExists(inProgramFolder) ? inProgramFolder : std::string();
}

uint32_t ParseTraceColor(const std::string& text) {
    // Like sscanf with "%d%d%d", but without undefined behaviour for numbers out of range.
    long long values[3] = {0, 0, 0};
    const char* cursor = text.c_str();
    for (long long& value : values) {
        char* end = nullptr;
        long long number = std::strtoll(cursor, &end, 10);
        if (end == cursor) {
            break;
        }
        value = number;
        cursor = end;
    }
    return static_cast<uint32_t>(values[0] & 0xFF) | (static_cast<uint32_t>(values[1] & 0xFF) << 8) |
           (static_cast<uint32_t>(values[2] & 0xFF) << 16);
}
