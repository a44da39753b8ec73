#pragma once

#include <ctime>
#include <string>

// The log file on Linux: the same record as the Windows program writes (ui/LogFile.h).

// The header's date and time: the user's locale's short date and time (LC_TIME), "%s * %s".
std::string LocaleDateTime(std::time_t moment);

// Checks before a run that the log can be written where it is to go; false with the reason.
bool LogWritable(const std::string& path, std::string& reason);

// Writes one record. Appending (to an existing log) adds the run separator and the record in
// one write; otherwise the record goes to a new file that then replaces the old log, so that a
// log is never left half-written. False with the reason when it cannot be written.
bool WriteLogRecordFile(const std::string& path, bool append, const std::string& record, std::string& reason);
