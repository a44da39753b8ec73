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

// Step files must be files on a disk: a device or a pipe opens as well, but NUL reads as an
// empty file and a COM port is read without end. A file that another program holds open and
// locks against writing (by its sharing or a byte-range lock) stays readable.
TEST_F(Win32Configuration, OnlyFilesOnADiskAreReadable) {
    const std::string path = folders.configuration + "held.bin";
    {
        std::ofstream out(path, std::ios::binary);
        out << "boot";
    }
    const ScopedFile pipe(::CreateNamedPipeA("\\\\.\\pipe\\tovrin-step-file", PIPE_ACCESS_DUPLEX,
                                             PIPE_TYPE_BYTE, PIPE_UNLIMITED_INSTANCES, 512, 512, 0, nullptr));
    ASSERT_NE(pipe.handle, INVALID_HANDLE_VALUE);
    struct Case {
        const char* name;
        std::string path;
        DWORD access; // another program's handle on the file: its access, its sharing
        DWORD share;
        bool lockRange;
        bool readable;
    };
    const Case cases[] = {
        {"a file", path, 0, 0, false, true},
        {"a file that another program holds, letting no one write", path, GENERIC_READ, FILE_SHARE_READ,
         false, true},
        {"a file with a byte range locked by another program", path, GENERIC_READ, FILE_SHARE_READ, true,
         true},
        {"a file that another program holds without read sharing", path, GENERIC_READ, 0, false, false},
        {"NUL", "NUL", 0, 0, false, false},
        {"NUL in a folder", folders.configuration + "NUL", 0, 0, false, false},
        {"COM1", "COM1", 0, 0, false, false},
        {"a named pipe", "\\\\.\\pipe\\tovrin-step-file", 0, 0, false, false},
        {"a folder", folders.configuration, 0, 0, false, false},
        {"nothing", "", 0, 0, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ScopedFile other(c.access == 0 ? INVALID_HANDLE_VALUE
                                             : ::CreateFileA(path.c_str(), c.access, c.share, nullptr,
                                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (c.access != 0) {
            ASSERT_NE(other.handle, INVALID_HANDLE_VALUE);
        }
        OVERLAPPED range{};
        if (c.lockRange) {
            ASSERT_TRUE(::LockFileEx(other.handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 4,
                                     0, &range));
        }
        EXPECT_EQ(files.FileReadable(c.path), c.readable);
        if (c.lockRange) {
            ::UnlockFileEx(other.handle, 0, 4, 0, &range);
        }
    }
    ::DeleteFileA(path.c_str());
}

// A configuration whose step names a device: the steps view shows the check line of an
// unreadable file, and the configuration cannot start.
TEST_F(Win32Configuration, StepFilesThatAreDevicesCannotStart) {
    struct Case {
        const char* bootFile;
        const char* firmware;
    };
    const std::string program = folders.configuration + "device.b86";
    {
        std::ofstream out(program, std::ios::binary);
        out << std::string(5, '\0');
    }
    for (const Case& c : {Case{"NUL", "device.b86"}, Case{"COM1", "device.b86"}, Case{"device.b86", "NUL"},
                          Case{"device.b86", "COM1"}}) {
        SCOPED_TRACE(std::string(c.bootFile) + " / " + c.firmware);
        const std::string path = folders.configuration + "device.cfg";
        {
            std::ofstream out(path, std::ios::binary);
            out << "[LoadingSteps]\r\nStep1=Device\r\n[Step1]\r\nAckByte=197\r\nBootFile=" << c.bootFile
                << "\r\nFirmware=" << c.firmware << "\r\n";
        }
        Configuration configuration(context, path);
        RecordingStepsList list;
        ASSERT_TRUE(configuration.ParseSteps(list));
        const bool bootIsDevice = std::string(c.bootFile) != "device.b86";
        const std::string device = bootIsDevice ? c.bootFile : c.firmware;
        // The device is found by its name, but is no file on a disk.
        const std::string checkLine =
            (bootIsDevice ? "*** Failed to read BIN file " : "*** Failed to read B86 file ") + device + ".";
        ASSERT_EQ(list.lines.size(), 5u) << "title, three step lines and one check line";
        EXPECT_EQ(list.lines[4], checkLine);
        EXPECT_FALSE(configuration.Validate());
        ::DeleteFileA(path.c_str());
    }
    ::DeleteFileA(program.c_str());
}

} // namespace
