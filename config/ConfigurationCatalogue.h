#pragma once

#include "app/SettingsStore.h"

#include <functional>
#include <string>
#include <vector>

// The recent file list: "File1" (the most recent) to "File9" in the section "Recent File List",
// each the path of a configuration. Four are kept; all nine are tried.
constexpr int kRecentFilesKept = 4;
constexpr int kRecentFilesTried = 9;

// Whether a path opens for reading while sharing it with every other program.
using FileOpenTest = std::function<bool(const std::string& path)>;

// The first of File1 to File9 that opens for reading, or the empty text. Entries that do not
// open are skipped and left in the store as they are.
std::string FindRecentConfiguration(ISettingsStore& settings, const FileOpenTest& opens);

// Makes the path File1: the entries before its old place move down by one, those behind it
// stay, and when it was not among the first four the old File4 falls out. Paths are compared
// without regard to case. An empty path changes nothing.
void RememberRecentConfiguration(ISettingsStore& settings, const std::string& path);

// The item selected when the catalogue is filled: the one whose configuration path equals the
// recent path (compared without regard to case); else item 0 when the list holds exactly one
// item; else none (-1). itemPaths holds one path per list item in list order, the empty text
// for the item without a configuration (the placeholder).
int StartSelection(const std::vector<std::string>& itemPaths, const std::string& recentPath);
