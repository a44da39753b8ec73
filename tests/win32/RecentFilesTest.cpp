#include "app/win32/Win32Host.h"
#include "config/win32/Win32Catalogue.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

// A file of the test's folder, created empty and removed when it goes.
class ScratchFile {
public:
    explicit ScratchFile(const std::string& name) : path(CurrentDirectory().value_or(".") + "\\" + name) {
        HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ::CloseHandle(file);
    }
    ~ScratchFile() { ::DeleteFileA(path.c_str()); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    const std::string path;
};

// The recent configuration is found by opening each entry: a file that another program
// holds open for writing still counts, a deleted one or a folder does not.
TEST(RecentConfigurationFile, IsTheFirstEntryThatOpensWhateverOthersDoWithIt) {
    ScratchFile edited("edited.cfg");
    ScratchFile plain("plain.cfg");
    HANDLE writer = ::CreateFileA(edited.path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    const std::string folder = CurrentDirectory().value_or(".");
    struct Case {
        std::vector<std::string> entries;
        std::string expected;
    } cases[] = {
        {{folder + "\\deleted.cfg", edited.path, plain.path}, edited.path},
        {{folder, "", plain.path}, plain.path},
        {{folder + "\\deleted.cfg"}, ""},
    };
    for (const Case& c : cases) {
        MemorySettingsStore store;
        for (size_t i = 0; i < c.entries.size(); ++i) {
            store.WriteRegString(settings::kRecentFileList, "File" + std::to_string(i + 1), c.entries[i]);
        }
        EXPECT_EQ(FindRecentConfiguration(store), c.expected);
    }
    EXPECT_TRUE(OpensForReadingShared(edited.path));
    EXPECT_FALSE(Win32FileSystem().FileReadable(edited.path)) << "a test that shares only reading refuses it";
    ::CloseHandle(writer);
}

} // namespace
