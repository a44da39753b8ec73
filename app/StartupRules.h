#pragma once

#include "config/FileSystem.h"

#include <cstdint>
#include <optional>
#include <string>

// The default log file: the program's path with the extension ".LOG"; none when the program's
// path is not known.
std::string DefaultLogName(const std::string& programPath);

// The configuration file named on the command line, completed with its folder: a name that
// exists is used as given when it holds a backslash, else prefixed with the current directory
// (when known); a name that does not exist is looked up in the program folder. Empty when
// the file is found nowhere.
std::string ResolveConfigFile(const std::string& name, const IFileSystem& files,
                              const std::optional<std::string>& currentDirectory,
                              const std::string& programFolder);

// "r g b" as three decimal numbers (missing ones count as 0) to a COLORREF 0x00BBGGRR.
uint32_t ParseTraceColor(const std::string& text);
