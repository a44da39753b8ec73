// The Linux tool's command line, log names, log writing and terminal texts.
#include "cli/CliOptions.h"
#include "cli/Console.h"
#include "cli/LogOutput.h"
#include "cli/RunResult.h"

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

TEST(CliOutput, WritesTheRecordAsItGoesAndAppendsWithTheSeparator) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("clilog." + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const std::string log = (folder / "run.log").string();
    auto content = [&log] {
        std::ifstream in(log, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    struct Row {
        LogOpening opening;
        std::vector<std::string> parts;
        std::string file; // after the record; empty: the file may not be opened so
    } rows[] = {
        {LogOpening::Append, {"first\r\n"}, "first\r\n"}, // no log yet: created
        {LogOpening::Append, {"sec", "ond\r\n"}, "first\r\n\r\n\r\nsecond\r\n"},
        {LogOpening::Replace, {"third\r\n"}, "third\r\n"},
        {LogOpening::New, {}, ""}, // a station's log is never one that is there already
    };
    for (const Row& row : rows) {
        LiveLog record;
        if (row.file.empty()) {
            EXPECT_FALSE(record.Open(log, row.opening));
            EXPECT_NE(record.Failure().find("File exists"), std::string::npos) << record.Failure();
            EXPECT_EQ(content(), "third\r\n") << "left as it was";
            continue;
        }
        ASSERT_TRUE(record.Open(log, row.opening)) << record.Failure();
        std::string written;
        for (const std::string& part : row.parts) {
            ASSERT_TRUE(record.Write(part));
            written += part;
            // Each part is in the file at once, before the record ends.
            EXPECT_EQ(content().substr(content().size() - written.size()), written);
        }
        EXPECT_TRUE(record.Finish());
        EXPECT_EQ(content(), row.file);
        EXPECT_EQ(record.Record(), written) << "the record without the separator";
    }
    std::string reason;
    EXPECT_TRUE(LogWritable(log, reason));
    const std::string missing = (folder / "none" / "run.log").string();
    EXPECT_FALSE(LogWritable(missing, reason));
    LiveLog nowhere;
    EXPECT_FALSE(nowhere.Open(missing, LogOpening::Replace));
    EXPECT_FALSE(nowhere.Write("x"));
    EXPECT_NE(nowhere.Failure().find("none"), std::string::npos);
    std::filesystem::remove_all(folder);
}

TEST(CliOutput, KeepsThePercentageAndTimeLeftOnANarrowLine) {
    Progress program;
    program.phase = Progress::Phase::Program;
    program.step = 2;
    program.steps = 2;
    program.block = 120;
    program.blocks = 2053;
    program.fraction = 0.42;
    program.rate = 11200;
    program.secondsLeft = 83;
    Progress failed = program;
    failed.phase = Progress::Phase::Failed;
    const struct Row {
        size_t width;
        Progress progress;
        std::vector<std::string> shown;
        std::vector<std::string> gone;
    } rows[] = {
        {100, program, {"ttyUSB0 step 2/2 block 120/2053 [########---", "]  42% 11.2 kB/s 1:23 left"}, {}},
        {60, program, {"ttyUSB0 step 2/2 block 120/2053 [####-", "]  42% 1:23 left"}, {"kB/s"}},
        {45, program, {"ttyUSB0 [#######---", "]  42% 1:23 left"}, {"step", "kB/s"}},
        {30, program, {"ttyUSB0", " 42% 1:23 left"}, {"[", "step"}},
        {15, program, {"42% 1:23 left"}, {"ttyUSB0"}},
        {80, failed, {"ttyUSB0 failed"}, {"done", "completed"}},
    };
    for (const Row& row : rows) {
        const std::string bar = ProgressBar("ttyUSB0", row.progress, row.width);
        EXPECT_LT(bar.size(), row.width) << bar;
        for (const std::string& part : row.shown) {
            EXPECT_NE(bar.find(part), std::string::npos) << row.width << ": " << bar;
        }
        for (const std::string& part : row.gone) {
            EXPECT_EQ(bar.find(part), std::string::npos) << row.width << ": " << bar;
        }
    }
}

TEST(CliOutput, PacesProgressLinesByTenthsAndTime) {
    ProgressPacer pacer;
    Progress now;
    now.phase = Progress::Phase::Connecting;
    now.step = 1;
    const struct Row {
        Progress::Phase phase;
        uint32_t block;
        double seconds;
        bool due;
    } rows[] = {
        {Progress::Phase::Connecting, 0, 0.1, true}, // a new phase
        {Progress::Phase::Connecting, 0, 4.9, false},
        {Progress::Phase::Connecting, 0, 5.2, true}, // five seconds without a line
        {Progress::Phase::Program, 0, 5.3, true},
        {Progress::Phase::Program, 9, 5.4, false},
        {Progress::Phase::Program, 10, 5.5, true}, // a tenth of the program file
        {Progress::Phase::Program, 19, 5.6, false},
        {Progress::Phase::Program, 35, 5.7, true},
        {Progress::Phase::Program, 36, 10.8, true},
    };
    for (const Row& row : rows) {
        now.phase = row.phase;
        now.block = row.block;
        now.blocks = 100;
        now.seconds = row.seconds;
        EXPECT_EQ(pacer.Due(now), row.due) << row.seconds;
    }
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
