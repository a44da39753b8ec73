#include "config/Configuration.h"
#include "app/Catalogue.h"
#include "app/win32/Win32Host.h"
#include "config/IniProfileReader.h"
#include "config/win32/Win32ProfileReader.h"
#include "tests/support/ConfigurationCases.h"
#include "tests/win32/Win32TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

// A file handle, closed when it goes.
struct ScopedFile {
    explicit ScopedFile(HANDLE handle) : handle(handle) {}
    ~ScopedFile() {
        if (handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
        }
    }
    ScopedFile(const ScopedFile&) = delete;
    ScopedFile& operator=(const ScopedFile&) = delete;
    const HANDLE handle;
};

// The test's working directory is the current directory; configurations lie in "cfg" below it.
CaseFolders MakeFolders() {
    char path[MAX_PATH] = {};
    ::GetCurrentDirectoryA(MAX_PATH, path);
    const std::string current = std::string(path) + "\\";
    ::CreateDirectoryA((current + "cfg").c_str(), nullptr);
    return CaseFolders{current, current + "cfg\\"};
}

class Win32Configuration : public testing::Test {
protected:
    CaseFolders folders = MakeFolders();
    Win32ProfileReader reader;
    Win32FileSystem files;
    BuiltInCatalogue texts{CatalogueLanguage::English};
    ConfigurationContext context{reader, files, texts};
};

class ConfigurationTable : public Win32Configuration,
                           public testing::WithParamInterface<ConfigurationCase> {};

TEST_P(ConfigurationTable, ReadsStepsAndChecksFiles) {
    ExpectConfigurationCase(GetParam(), context, texts, folders);
}

INSTANTIATE_TEST_SUITE_P(Win32, ConfigurationTable, testing::ValuesIn(ConfigurationCases()),
                         [](const testing::TestParamInfo<ConfigurationCase>& info) {
                             return info.param.name;
                         });

// Any content: the rules hold, and the native reader (built for Windows) reads the same
// configuration as GetPrivateProfile* does.
class AnyConfigurationFile : public Win32Configuration, public testing::WithParamInterface<AnyFileCase> {};

TEST_P(AnyConfigurationFile, IsReadWithoutHarmAndAsNatively) {
    const AnyFileOutcome outcome = ReadAnyFile(GetParam(), context, folders.configuration);
    EXPECT_EQ(BrokenRule(GetParam(), outcome), "");

    IniProfileReader nativeReader;
    const ConfigurationContext nativeContext{nativeReader, files, texts};
    const AnyFileOutcome native = ReadAnyFile(GetParam(), nativeContext, folders.configuration);
    EXPECT_EQ(native.read.description, outcome.read.description);
    EXPECT_EQ(native.read.parsed, outcome.read.parsed);
    EXPECT_EQ(native.read.lines, outcome.read.lines);
    EXPECT_EQ(native.read.steps, outcome.read.steps);
    EXPECT_EQ(native.read.valid, outcome.read.valid);
}

INSTANTIATE_TEST_SUITE_P(Win32, AnyConfigurationFile, testing::ValuesIn(AnyFileCases()),
                         [](const testing::TestParamInfo<AnyFileCase>& info) { return info.param.name; });

// A .cfg that another program holds open without read sharing reads as an empty one.
TEST_F(Win32Configuration, FileLockedByAnotherProgramHasNoSteps) {
    const std::string path = folders.configuration + "locked.cfg";
    {
        std::ofstream out(path, std::ios::binary);
        out << "[LoadingSteps]\r\nDescription=Locked\r\nStep1=x\r\n";
    }
    bool parsed = false;
    std::string description;
    RecordingStepsList list;
    {
        const ScopedFile lock(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_NE(lock.handle, INVALID_HANDLE_VALUE);
        Configuration configuration(context, path);
        parsed = configuration.ParseSteps(list);
        description = configuration.Description();
    }
    ::DeleteFileA(path.c_str());
    EXPECT_FALSE(parsed);
    EXPECT_EQ(description, "<" + path + ">");
    EXPECT_TRUE(list.lines.empty());
}

} // namespace
