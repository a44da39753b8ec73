#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Parsed {
    std::vector<std::string> boxes;
    std::string fileName;
    std::string logFile;
    int comPort = 0;
    int baudRate = 0;
    bool batch = false;
    bool append = false;
    bool dryRun = false;
    bool embedded = false;
    bool automated = false;
    int shellCommand = 0;
};

Parsed Parse(const std::vector<std::string>& args) {
    static const BuiltInCatalogue german(CatalogueLanguage::German);
    Parsed result;
    CQarlCommandLineInfo info(german, [&](const std::string& text) { result.boxes.push_back(text); });
    ParseCommandLine(info, args);
    result.fileName = info.m_strFileName;
    result.logFile = info.m_strLogFile;
    result.comPort = info.m_nComPort;
    result.baudRate = info.m_nBaudRate;
    result.batch = info.m_bBatch;
    result.append = info.m_bAppendLog;
    result.dryRun = info.m_bDryRun;
    result.embedded = info.m_bRunEmbedded;
    result.automated = info.m_bRunAutomated;
    result.shellCommand = info.m_nShellCommand;
    return result;
}

const std::string kUsage = BuiltInCatalogue(CatalogueLanguage::German).LoadText(182);

struct FieldCase {
    std::vector<std::string> args;
    std::string fileName;
    std::string logFile;
    int comPort;
    int baudRate;
    bool batch;
    bool append;
};

class CommandLineFields : public testing::TestWithParam<FieldCase> {};

TEST_P(CommandLineFields, TakeTheirValues) {
    const FieldCase& c = GetParam();
    Parsed p = Parse(c.args);
    EXPECT_TRUE(p.boxes.empty());
    EXPECT_EQ(p.fileName, c.fileName);
    EXPECT_EQ(p.logFile, c.logFile);
    EXPECT_EQ(p.comPort, c.comPort);
    EXPECT_EQ(p.baudRate, c.baudRate);
    EXPECT_EQ(p.batch, c.batch);
    EXPECT_EQ(p.append, c.append);
    EXPECT_NE(p.shellCommand, CQarlCommandLineInfo::FileNothing);
}

INSTANTIATE_TEST_SUITE_P(
    Switches, CommandLineFields,
    testing::Values(FieldCase{{"drive.cfg", "-C2", "-B115200", "-X", "-L", "run.log"},
                              "drive.cfg",
                              "run.log",
                              2,
                              115200,
                              true,
                              false},
                    FieldCase{{"-B09600"}, "", "", 0, 9600, false, false},
                    FieldCase{{"-B9600"}, "", "", 0, 9600, false, false},
                    FieldCase{{"-b19200"}, "", "", 0, 19200, false, false},
                    FieldCase{{"-c3"}, "", "", 3, 0, false, false},
                    FieldCase{{"-C256"}, "", "", 256, 0, false, false},
                    FieldCase{{"/X"}, "", "", 0, 0, true, false},
                    FieldCase{{"-x"}, "", "", 0, 0, true, false},
                    FieldCase{{"-lrun.log"}, "", "run.log", 0, 0, false, false},
                    FieldCase{{"-Lrun.log"}, "", "run.log", 0, 0, false, false},
                    FieldCase{{"-L", "run.log"}, "", "run.log", 0, 0, false, false},
                    FieldCase{{"a.cfg", "-L"}, "a.cfg", "", 0, 0, false, false},
                    // A switch after a bare -L drops the expectation: the next name is the configuration.
                    FieldCase{{"-L", "-X", "a.cfg"}, "a.cfg", "", 0, 0, true, false},
                    FieldCase{{"-a", "/A"}, "", "", 0, 0, false, true},
                    FieldCase{{"-", "/", "a.cfg"}, "a.cfg", "", 0, 0, false, false}));

struct ErrorCase {
    std::vector<std::string> args;
    std::vector<std::string> messages; // each box: message, two line feeds, usage
};

class CommandLineErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(CommandLineErrors, ShowOneBoxEach) {
    const ErrorCase& c = GetParam();
    Parsed p = Parse(c.args);
    ASSERT_EQ(p.boxes.size(), c.messages.size());
    for (size_t i = 0; i < c.messages.size(); ++i) {
        EXPECT_EQ(p.boxes[i], c.messages[i] + "\n\n" + kUsage);
    }
    EXPECT_EQ(p.shellCommand, CQarlCommandLineInfo::FileNothing);
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, CommandLineErrors,
    testing::Values(ErrorCase{{"-B9601"}, {"Unzul\xe4ssige Baudrate: 9601"}},
                    ErrorCase{{"-B"}, {"Syntaxfehler bei Baudraten-Angabe."}},
                    ErrorCase{{"-B96x0"}, {"Syntaxfehler bei Baudraten-Angabe."}},
                    ErrorCase{{"-B+9600"}, {"Syntaxfehler bei Baudraten-Angabe."}},
                    ErrorCase{{"-B99999999999999999999"}, {"Unzul\xe4ssige Baudrate: 99999999999999999999"}},
                    ErrorCase{{"-C0"}, {"Unzul\xe4ssiger COMPort: 0"}},
                    ErrorCase{{"-C257"}, {"Unzul\xe4ssiger COMPort: 257"}},
                    ErrorCase{{"-Cx"}, {"Syntaxfehler bei COM-Port Angabe."}}, ErrorCase{{"-?"}, {""}},
                    ErrorCase{{"a.cfg", "b.cfg"},
                              {"Es ist nur eine einzige Konfigurationsdatei als Parameter zul\xe4ssig"}},
                    ErrorCase{{"-B1", "-C0"}, {"Unzul\xe4ssige Baudrate: 1", "Unzul\xe4ssiger COMPort: 0"}},
                    ErrorCase{{"-B%s%s%n"}, {"Syntaxfehler bei Baudraten-Angabe."}}));

// The accepted set is exactly the six rates of the interface settings dialog; its neighbours
// and the other rates of the catalogue's list are refused with 184.
TEST(CommandLine, AcceptsExactlyTheSixOfferedBaudRates) {
    struct Case {
        const char* digits;
        int accepted; // 0: refused with 184
    };
    const Case cases[] = {
        {"9600", 9600},     {"14400", 14400}, {"19200", 19200}, {"38400", 38400}, {"57600", 57600},
        {"115200", 115200}, {"110", 0},       {"300", 0},       {"600", 0},       {"1200", 0},
        {"2400", 0},        {"4800", 0},      {"56000", 0},     {"128000", 0},    {"256000", 0},
        {"0", 0},           {"9599", 0},      {"9601", 0},      {"14399", 0},     {"14401", 0},
        {"19201", 0},       {"38401", 0},     {"57601", 0},     {"115199", 0},    {"115201", 0},
        {"230400", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.digits);
        Parsed p = Parse({std::string("-B") + c.digits});
        if (c.accepted != 0) {
            EXPECT_TRUE(p.boxes.empty());
            EXPECT_EQ(p.baudRate, c.accepted);
            EXPECT_NE(p.shellCommand, CQarlCommandLineInfo::FileNothing);
        } else {
            EXPECT_EQ(p.boxes, std::vector<std::string>{"Unzul\xe4ssige Baudrate: " + std::string(c.digits) +
                                                        "\n\n" + kUsage});
            EXPECT_EQ(p.baudRate, 0);
            EXPECT_EQ(p.shellCommand, CQarlCommandLineInfo::FileNothing);
        }
        EXPECT_EQ(IsOfferedBaudRate(std::atoll(c.digits)), c.accepted != 0);
    }
}

TEST(CommandLine, ParsingNeverStopsEarly) {
    Parsed p = Parse({"-B9601", "a.cfg", "-C4", "-X"});
    EXPECT_EQ(p.boxes.size(), 1u);
    EXPECT_EQ(p.fileName, "a.cfg");
    EXPECT_EQ(p.comPort, 4);
    EXPECT_TRUE(p.batch);
}

TEST(CommandLine, DryRunSwitchIsCaseSensitive) {
    EXPECT_TRUE(Parse({"-wqTZ"}).dryRun);
    EXPECT_FALSE(Parse({"-WqTZ"}).dryRun);
    EXPECT_FALSE(Parse({"-wqtz"}).dryRun);
}

TEST(CommandLine, AutomationStartIsNotTakenForAppend) {
    struct Case {
        const char* arg;
        bool automated;
        bool embedded;
    } cases[] = {{"/Automation", true, false},
                 {"-automation", true, false},
                 {"/EMBEDDING", false, true},
                 {"-Embedding", false, true},
                 {"-Auto", false, false}};
    for (const Case& c : cases) {
        Parsed p = Parse({c.arg});
        EXPECT_EQ(p.automated, c.automated) << c.arg;
        EXPECT_EQ(p.embedded, c.embedded) << c.arg;
        EXPECT_EQ(p.append, std::string(c.arg) == "-Auto") << c.arg;
        EXPECT_TRUE(p.boxes.empty()) << c.arg;
    }
}

} // namespace
