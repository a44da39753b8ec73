#include "ui/LogFile.h"
#include "ui/PortSummary.h"
#include "ui/TraceRules.h"

#include <gtest/gtest.h>

namespace {

TEST(LogRecord, HoldsHeaderLinesAndFinalMessageWithCrLf) {
    const std::string finalMessage = "Cannot start current configuration, due to missing files.";
    struct Case {
        const char* configFile;
        const char* dateTime;
        const char* startup;
        std::vector<std::string> lines;
        const std::string* finalMessage;
        const char* expected;
    } cases[] = {
        {"C:\\cfg\\drive.cfg",
         "07.12.2026 * 00:17:01",
         "",
         {"*** Start Download", "OK"},
         nullptr,
         "Tovrin C:\\cfg\\drive.cfg 07.12.2026 * 00:17:01\r\n\r\n*** Start Download\r\nOK\r\n\r\n"},
        {"", "", "", {}, nullptr, "Tovrin  \r\n\r\n\r\n"},
        {"",
         "7.12.2026 * 00:17:01",
         "The file x.cfg specified in the commandline, does not exist.",
         {},
         &finalMessage,
         "Tovrin  7.12.2026 * 00:17:01\r\n\r\nThe file x.cfg specified in the commandline, does not "
         "exist.\r\n"
         "Cannot start current configuration, due to missing files.\r\n"},
        // Set-up failure texts end with a line feed of their own: kept as it stands.
        {"a.cfg",
         "d",
         "",
         {"*** Start Download"},
         nullptr,
         "Tovrin a.cfg d\r\n\r\n*** Start Download\r\n\r\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatLogRecord(c.configFile, c.dateTime, c.startup, c.lines, c.finalMessage), c.expected);
    }
    EXPECT_STREQ(kLogRunSeparator, "\r\n\r\n");
}

TEST(TraceRules, GrowingLinesAndTheColourRule) {
    struct Case {
        const char* last;
        const char* text;
        bool continues;
    } growth[] = {
        {"AB", "ABC", true}, {"AB", "AB", true},  {"AB", "A", false},
        {"", "x", true},     {"AB", "Ab", false}, {"READY", "OK", false},
    };
    for (const Case& c : growth) {
        EXPECT_EQ(ContinuesLine(c.last, c.text), c.continues) << c.last << " / " << c.text;
    }
    struct Colour {
        const char* line;
        bool trace;
    } colours[] = {
        {"*** Start Download", false}, {"READY", true}, {"", true}, {"*device", false}, {" *", true}};
    for (const Colour& c : colours) {
        EXPECT_EQ(DrawnInTraceColor(c.line), c.trace) << c.line;
    }
    EXPECT_EQ(TraceText({"a", "bc"}), "a\r\nbc\r\n");
    EXPECT_EQ(TraceText({}), "");
}

TEST(PortSummary, ShowsPortRateAndFraming) {
    struct Case {
        const char* port;
        PortSettings settings;
        const char* expected;
    } cases[] = {
        {"COM1", {38400, 8, 0, 0}, "COM1: 38400, 8N1"},
        {"COM2", {19200, 7, 2, 1}, "COM2: 19200, 7E1,5"},
        {"\\\\.\\COM12", {115200, 8, 1, 2}, "\\\\.\\COM12: 115200, 8O2"},
        {"COM3", {9600, 8, 3, 0}, "COM3: 9600, 8M1"},
        {"COM3", {9600, 8, 4, 0}, "COM3: 9600, 8S1"},
        {"COM4", {9600, 8, 9, 7}, "COM4: 9600, 8??"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PortSummary(c.port, c.settings), c.expected);
    }
}

} // namespace
