// The Linux tool's command line, log names, log writing and terminal texts.
#include "cli/CliOptions.h"
#include "cli/Console.h"
#include "cli/LogOutput.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::map<std::string, std::string> environment;

const char* FromTable(const char* name) {
    auto found = environment.find(name);
    return found == environment.end() ? nullptr : found->second.c_str();
}

ParseOutcome Parse(std::vector<std::string> args, CliOptions& options, std::string& errors) {
    args.insert(args.begin(), "tovrin");
    std::vector<const char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    std::ostringstream out, err;
    ParseOutcome outcome =
        ParseCliOptions(static_cast<int>(argv.size()), argv.data(), options, out, err, FromTable);
    errors = err.str();
    return outcome;
}

TEST(CliOptions, TakesPortsRatesLanguagesAndFramings) {
    struct Row {
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        ParseOutcome outcome;
        std::vector<std::string> ports;
        CatalogueLanguage language = CatalogueLanguage::English;
        std::string framing = "8N0"; // data bits, parity letter, stop-bit code
    } rows[] = {
        {{"a.cfg", "-C", "/dev/ttyUSB0", "-B", "115200"}, {}, ParseOutcome::Run, {"/dev/ttyUSB0"}},
        {{"a.cfg", "-C", "/dev/a", "-C", "/dev/b", "-B", "9600"},
         {},
         ParseOutcome::Run,
         {"/dev/a", "/dev/b"}},
        {{"a.cfg", "--ports", "/dev/a,/dev/b,/dev/c", "-B", "921600"},
         {},
         ParseOutcome::Run,
         {"/dev/a", "/dev/b", "/dev/c"}},
        {{"a.cfg", "-C", "/dev/a", "-B", "14400", "--lang", "de"},
         {},
         ParseOutcome::Run,
         {"/dev/a"},
         CatalogueLanguage::German},
        {{"a.cfg", "-C", "/dev/a", "-B", "230400"},
         {{"LANG", "de_DE.UTF-8"}},
         ParseOutcome::Run,
         {"/dev/a"},
         CatalogueLanguage::German},
        {{"a.cfg", "-C", "/dev/a", "-B", "460800"},
         {{"LC_ALL", "C"}, {"LANG", "de_DE.UTF-8"}},
         ParseOutcome::Run,
         {"/dev/a"}},
        {{"a.cfg", "-C", "/dev/a", "-B", "9600", "--lang", "en"},
         {{"LANG", "de_DE.UTF-8"}},
         ParseOutcome::Run,
         {"/dev/a"}},
        {{"a.cfg", "-C", "/dev/a", "-B", "9600", "--framing", "7E1.5"},
         {},
         ParseOutcome::Run,
         {"/dev/a"},
         CatalogueLanguage::English,
         "7E1"},
        {{"a.cfg", "-C", "/dev/a", "-B", "9600", "--framing", "5s2"},
         {},
         ParseOutcome::Run,
         {"/dev/a"},
         CatalogueLanguage::English,
         "5S2"},
        // Refused: exit 2 with the usage.
        {{"a.cfg", "-C", "/dev/a", "-B", "14401"}, {}, ParseOutcome::Error, {}},
        {{"a.cfg", "-C", "/dev/a", "-B", "4800"}, {}, ParseOutcome::Error, {}},
        {{"a.cfg", "-B", "9600"}, {}, ParseOutcome::Error, {}},
        {{"-C", "/dev/a", "-B", "9600"}, {}, ParseOutcome::Error, {}},
        {{"a.cfg", "-C", "/dev/a"}, {}, ParseOutcome::Error, {}},
        {{"a.cfg", "-C", "/dev/a", "-B", "9600", "--retries", "0"}, {}, ParseOutcome::Error, {}},
        {{"a.cfg", "-C", "/dev/a", "-B", "9600", "--lang", "fr"}, {}, ParseOutcome::Error, {}},
        {{"a.cfg", "-C", "/dev/a", "-B", "9600", "--framing", "9N1"}, {}, ParseOutcome::Error, {}},
        {{"a.cfg", "-C", "/dev/a", "-C", "/tmp/a", "-B", "9600"}, {}, ParseOutcome::Error, {}},
        {{"a.cfg", "b.cfg", "-C", "/dev/a", "-B", "9600"}, {}, ParseOutcome::Error, {}},
        {{"--help"}, {}, ParseOutcome::Done, {}},
    };
    for (const Row& row : rows) {
        environment = row.env;
        CliOptions options;
        std::string errors;
        const std::string shown = ::testing::PrintToString(row.args);
        ASSERT_EQ(Parse(row.args, options, errors), row.outcome) << shown << errors;
        if (row.outcome == ParseOutcome::Error) {
            EXPECT_NE(errors.find("Usage: tovrin CFG"), std::string::npos) << shown;
            continue;
        }
        if (row.outcome != ParseOutcome::Run) {
            continue;
        }
        EXPECT_EQ(options.ports, row.ports) << shown;
        EXPECT_EQ(options.language, row.language) << shown;
        const char parity = "NOEMS"[options.framing.parity];
        EXPECT_EQ(std::to_string(options.framing.dataSize) + parity +
                      std::to_string(options.framing.stopBits),
                  row.framing)
            << shown;
        EXPECT_EQ(options.framing.baudRate, options.baudRate) << shown;
    }
}

TEST(CliOptions, GivesEachPortItsOwnLogName) {
    const std::pair<std::pair<std::string, std::string>, std::string> rows[] = {
        {{"run.log", "/dev/ttyUSB0"}, "run.ttyUSB0.log"},
        {{"/var/log/flash/run.log", "/dev/serial/by-id/usb-FTDI-if00"},
         "/var/log/flash/run.usb-FTDI-if00.log"},
        {{"logs.d/run", "/dev/pts/3"}, "logs.d/run.3"},
        {{"tovrin.log", "/dev/ttyACM1/"}, "tovrin.ttyACM1.log"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(PortLogName(row.first.first, row.first.second), row.second);
    }
}

TEST(CliOutput, ShowsWindows1252TextsAsUtf8) {
    EXPECT_EQ(ForTerminal("*** Verbindung zum Ger\xE4t herstellen"),
              "*** Verbindung zum Ger\xC3\xA4t herstellen");
    EXPECT_EQ(ForTerminal("Block \x80 \x9F"), "Block \xE2\x82\xAC \xC5\xB8");
    EXPECT_EQ(ForTerminal("already \xC3\xA4 UTF-8"), "already \xC3\xA4 UTF-8");
    EXPECT_EQ(ForTerminal("plain"), "plain");
}

TEST(CliOutput, WritesWholeRecordsAndAppendsWithTheSeparator) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("clilog." + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const std::string log = (folder / "run.log").string();
    std::string reason;
    auto content = [&log] {
        std::ifstream in(log, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    ASSERT_TRUE(WriteLogRecordFile(log, true, "first\r\n", reason)) << reason; // no log yet: created
    ASSERT_TRUE(WriteLogRecordFile(log, true, "second\r\n", reason)) << reason;
    EXPECT_EQ(content(), "first\r\n\r\n\r\nsecond\r\n");
    ASSERT_TRUE(WriteLogRecordFile(log, false, "third\r\n", reason)) << reason;
    EXPECT_EQ(content(), "third\r\n");
    EXPECT_TRUE(LogWritable(log, reason));
    const std::string missing = (folder / "none" / "run.log").string();
    EXPECT_FALSE(LogWritable(missing, reason));
    EXPECT_FALSE(WriteLogRecordFile(missing, false, "x", reason));
    EXPECT_NE(reason.find("none"), std::string::npos);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1); // nothing half-written left
    std::filesystem::remove_all(folder);
}

TEST(CliOutput, DatesTheHeaderInTheUsersLocale) {
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    const std::string german = LocaleDateTime(1796688000); // 8 December 2026, 00:00 UTC
    unsetenv("LC_ALL");
    int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
    EXPECT_EQ(std::sscanf(german.c_str(), "%2d.%2d.%4d * %2d:%2d:%2d", &day, &month, &year, &hour, &minute,
                          &second),
              6)
        << german;
    EXPECT_EQ(german.size(), 21u) << german; // 08.12.2026 * 01:00:00: two digits each
    EXPECT_EQ(month * 10000 + year, 122026) << german;
    EXPECT_EQ(LocaleDateTime(0), "");
}

} // namespace
