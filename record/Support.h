#pragma once

#include <chrono>
#include <string>

// Small things the record shares with the reports.

// "2026-12-08T17:02:04.123Z"
std::string IsoUtc(std::chrono::system_clock::time_point moment);

// Writes the text to a new file that, once on the disk, replaces `path`, so that a reader never
// sees half of it. False with the reason.
bool ReplaceFile(const std::string& path, const std::string& text, std::string& reason);

// Text for JSON and the store: UTF-8 as it is, the program's Windows-1252 texts converted.
std::string Utf8Text(const std::string& text);
