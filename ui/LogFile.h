#pragma once

#include <string>
#include <vector>

// One record of the log file: header with the configuration and the start's date and time,
// an empty line, the held-back start-up message, every line of the message list, the final
// message without a line end of its own, and a closing line end. Every line end is CR LF.
std::string FormatLogRecord(const std::string& configFile, const std::string& dateTime,
                            const std::string& startupMessage, const std::vector<std::string>& lines,
                            const std::string* finalMessage);

// The record in its three parts, for a writer that adds the lines as they come: the head
// (header, empty line, start-up message), one line of the message list, and the end (the final
// message and the closing line end). Head, lines and end together are FormatLogRecord.
std::string LogRecordHead(const std::string& configFile, const std::string& dateTime,
                          const std::string& startupMessage);
std::string LogRecordLine(const std::string& line);
std::string LogRecordEnd(const std::string* finalMessage);

// The lines of the message list as text: each line followed by CR LF. The log record, the
// clipboard text and the saved file all hold them so.
std::string TraceText(const std::vector<std::string>& lines);

// Written between two records when a run appends to an existing log.
constexpr const char kLogRunSeparator[] = "\r\n\r\n";
