#include "config/Configuration.h"
#include "app/Catalogue.h"
#include "app/MessageIds.h"
#include "config/FileSystem.h"
#include "config/IniProfileReader.h"
#include "tests/support/ConfigurationCases.h"
#include "tests/unit/support/ScratchFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

void Write(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

CaseFolders MakeFolders(const ScratchFolder& scratch) {
    const CaseFolders folders{scratch.Path() + "current/", scratch.Path() + "cfg/"};
    fs::create_directory(folders.current);
    fs::create_directory(folders.configuration);
    return folders;
}

// A configuration folder and a current directory of their own, read with the native reader.
class NativeConfiguration : public testing::Test {
protected:
    ScratchFolder scratch;
    CaseFolders folders = MakeFolders(scratch);
    ScopedCurrentDirectory inCurrent{folders.current};
    IniProfileReader reader;
    PosixFileSystem files;
    BuiltInCatalogue texts{CatalogueLanguage::English};
    ConfigurationContext context{reader, files, texts};
};

class ConfigurationTable : public NativeConfiguration,
                           public testing::WithParamInterface<ConfigurationCase> {};

TEST_P(ConfigurationTable, ReadsStepsAndChecksFiles) {
    ExpectConfigurationCase(GetParam(), context, texts, folders);
}

INSTANTIATE_TEST_SUITE_P(Native, ConfigurationTable, testing::ValuesIn(ConfigurationCases()),
                         [](const testing::TestParamInfo<ConfigurationCase>& info) {
                             return info.param.name;
                         });

// The texts the steps list shows for an acknowledge byte, word for word.
TEST_F(NativeConfiguration, ShowsTheWholeAckNumberInHex) {
    const struct {
        const char* value;
        const char* shown;
    } acks[] = {{"197", "Connect to device (Ack = C5)"},
                {"300", "Connect to device (Ack = 12C)"},
                {"-5", "Connect to device (Ack = 00)"}};
    for (const auto& ack : acks) {
        const std::string path = folders.configuration + "ack.cfg";
        Write(path, std::string("[LoadingSteps]\nStep1=x\n[Step1]\nAckByte=") + ack.value + "\n");
        Configuration configuration(context, path);
        RecordingStepsList list;
        configuration.ParseSteps(list);
        ASSERT_GE(list.lines.size(), 2u);
        EXPECT_EQ(list.lines[1], ack.shown);
        fs::remove(path);
    }
}

TEST_F(NativeConfiguration, NextStepAfterTheLastStaysNone) {
    const std::string path = folders.configuration + "walk.cfg";
    Write(path, "[LoadingSteps]\nStep1=a\nStep2=b\n");
    Configuration configuration(context, path);
    EXPECT_EQ(configuration.FirstStep(), nullptr);
    RecordingStepsList list;
    ASSERT_TRUE(configuration.ParseSteps(list));
    EXPECT_EQ(configuration.CurrentStep(), nullptr);
    EXPECT_EQ(configuration.NextStep(), nullptr);
    LoadingStep* first = configuration.FirstStep();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(configuration.CurrentStep(), first);
    LoadingStep* second = configuration.NextStep();
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(configuration.NextStep(), nullptr);
    EXPECT_EQ(configuration.NextStep(), nullptr);
    EXPECT_EQ(configuration.CurrentStep(), nullptr);
    EXPECT_EQ(configuration.FirstStep(), first);
}

// Each selection reads the file again: an edit shows, and the old steps and lines go.
TEST_F(NativeConfiguration, ParseStepsReadsTheEditedFile) {
    const std::string path = folders.configuration + "edit.cfg";
    Write(path, "[LoadingSteps]\nStep1=a\nStep2=b\n");
    Configuration configuration(context, path);
    RecordingStepsList list;
    ASSERT_TRUE(configuration.ParseSteps(list));
    EXPECT_EQ(configuration.Steps().size(), 2u);
    ASSERT_NE(configuration.FirstStep(), nullptr);

    Write(path, "[LoadingSteps]\nStep1=c\n");
    fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(2));
    ASSERT_TRUE(configuration.ParseSteps(list));
    EXPECT_EQ(list.resets, 2);
    EXPECT_EQ(configuration.Steps().size(), 1u);
    EXPECT_EQ(list.lines.front(), "c");
    EXPECT_EQ(list.lines.size(), 6u);
    EXPECT_EQ(configuration.CurrentStep(), nullptr);
}

// A FIFO under a step's file name neither blocks the checks nor counts as readable.
TEST_F(NativeConfiguration, FifoAsBinFileIsNotReadable) {
    ASSERT_EQ(::mkfifo((folders.current + "BOOT.BIN").c_str(), 0600), 0);
    Write(folders.current + "FW.B86", "x");
    const std::string path = folders.configuration + "fifo.cfg";
    Write(path, "[LoadingSteps]\nStep1=a\n[Step1]\nBootFile=BOOT.BIN\nFirmware=FW.B86\n");
    Configuration configuration(context, path);
    RecordingStepsList list;
    ASSERT_TRUE(configuration.ParseSteps(list));
    EXPECT_EQ(list.lines.back(), texts.Format(IDS_FAILED_READ_BIN, {"BOOT.BIN"}));
    EXPECT_FALSE(configuration.Validate());
}

class AnyConfigurationFile : public NativeConfiguration, public testing::WithParamInterface<AnyFileCase> {};

TEST_P(AnyConfigurationFile, IsReadWithoutHarm) {
    const AnyFileOutcome outcome = ReadAnyFile(GetParam(), context, folders.configuration);
    EXPECT_EQ(BrokenRule(GetParam(), outcome), "");
}

INSTANTIATE_TEST_SUITE_P(Native, AnyConfigurationFile, testing::ValuesIn(AnyFileCases()),
                         [](const testing::TestParamInfo<AnyFileCase>& info) { return info.param.name; });

TEST_F(NativeConfiguration, FifoAsConfigurationFileIsReadWithoutWaiting) {
    const std::string path = folders.configuration + "fifo.cfg";
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    Configuration configuration(context, path);
    RecordingStepsList list;
    EXPECT_FALSE(configuration.ParseSteps(list));
    EXPECT_EQ(configuration.Description(), "<" + path + ">");
}

} // namespace
