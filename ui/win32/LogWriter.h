#pragma once

#include <ctime>
#include <string>

// "date * time" of a moment in the user's locale (short date, default time format); empty for 0.
std::string LogDateTime(std::time_t moment);

// Writes one record into the log: appended after the run separator when `append` is set and the
// file exists, else into a new or emptied file. False when the file could not be opened or
// written, so that a later call can try again.
bool WriteLogRecord(const std::string& path, bool append, const std::string& record);

// Creates the file (an existing one is emptied) and writes the text as it stands. False when
// the file could not be created or written.
bool WriteTextFile(const std::string& path, const std::string& text);
