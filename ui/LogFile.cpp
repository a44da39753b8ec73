#include "ui/LogFile.h"

#include "app/TextFormat.h"

std::string FormatLogRecord(const std::string& configFile, const std::string& dateTime,
                            const std::string& startupMessage, const std::vector<std::string>& lines,
                            const std::string* finalMessage) {
    std::string record = FormatText("Tovrin %s %s\r\n\r\n", {configFile, dateTime});
    if (!startupMessage.empty()) {
        record += startupMessage + "\r\n";
    }
    record += TraceText(lines);
    if (finalMessage != nullptr) {
        record += *finalMessage;
    }
    record += "\r\n";
    return record;
}

std::string TraceText(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\r\n";
    }
    return text;
}
