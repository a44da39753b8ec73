#include "ui/LogFile.h"

#include "app/TextFormat.h"

std::string FormatLogRecord(const std::string& configFile, const std::string& dateTime,
                            const std::string& startupMessage, const std::vector<std::string>& lines,
                            const std::string* finalMessage) {
    return LogRecordHead(configFile, dateTime, startupMessage) + TraceText(lines) +
           LogRecordEnd(finalMessage);
}

std::string LogRecordHead(const std::string& configFile, const std::string& dateTime,
                          const std::string& startupMessage) {
    std::string head = FormatText("Tovrin %s %s\r\n\r\n", {configFile, dateTime});
    if (!startupMessage.empty()) {
        head += LogRecordLine(startupMessage);
    }
    return head;
}

std::string LogRecordLine(const std::string& line) {
    return line + "\r\n";
}

std::string LogRecordEnd(const std::string* finalMessage) {
    return (finalMessage != nullptr ? *finalMessage : std::string()) + "\r\n";
}

std::string TraceText(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += LogRecordLine(line);
    }
    return text;
}
