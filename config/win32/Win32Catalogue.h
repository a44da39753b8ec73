#pragma once

#include "config/ConfigurationCatalogue.h"

#include <string>

// CreateFileA for reading with every kind of sharing allowed to other programs.
bool OpensForReadingShared(const std::string& path);

// The recent configuration as the program looks for it: by opening each entry.
std::string FindRecentConfiguration(ISettingsStore& settings);
