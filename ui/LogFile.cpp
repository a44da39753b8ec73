#include "ui/LogFile.h"

#include "app/TextFormat.h"

std::string FormatLogRecord(const std::string& configFile, const std::string& dateTime,
                            const std::string& startupMessage, const std::vector<std::string>& lines,
                            const std::string* finalMessage) {
    std::string record = FormatText("Tovrin %s %s\r\n\r\n", {configFile, dateTime});
    if (!startupMessage.empty()) {
        record += startupMessage + "\r\n";
    }
    for (const std::string& line : lines) {
        record += line + "\r\n";
    }
    if (finalMessage != nullptr) {
        record += *finalMessage;
    }
    record += "\r\n";
    return record;
}
