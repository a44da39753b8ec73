#include "app/StartupRules.h"
#include "app/Language.h"
#include "config/PathUtil.h"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(PathUtil, SplitsAndJoinsLikeTheRuntime) {
    struct Case {
        const char* path;
        PathParts parts;
    } cases[] = {
        {"C:\\Tools\\Tovrin.exe", {"C:", "\\Tools\\", "Tovrin", ".exe"}},
        {"C:\\Cfg\\x.cfg", {"C:", "\\Cfg\\", "x", ".cfg"}},
        {"rel/dir\\name.tar.gz", {"", "rel/dir\\", "name.tar", ".gz"}},
        {"name", {"", "", "name", ""}},
        {"C:name.b", {"C:", "", "name", ".b"}},
        {"\\dir.d\\file", {"", "\\dir.d\\", "file", ""}},
    };
    for (const Case& c : cases) {
        PathParts parts = SplitPath(c.path);
        EXPECT_EQ(parts.drive, c.parts.drive) << c.path;
        EXPECT_EQ(parts.dir, c.parts.dir) << c.path;
        EXPECT_EQ(parts.fname, c.parts.fname) << c.path;
        EXPECT_EQ(parts.ext, c.parts.ext) << c.path;
    }
    EXPECT_EQ(MakePath("C:", "\\Tools", "Tovrin", "LOG"), "C:\\Tools\\Tovrin.LOG");
    EXPECT_EQ(DefaultLogName("C:\\Tools\\Tovrin.exe"), "C:\\Tools\\Tovrin.LOG");
    EXPECT_EQ(DefaultLogName("Tovrin"), "Tovrin.LOG");
    EXPECT_EQ(DefaultLogName(""), "") << "no \".LOG\" when the program's path is unknown";
    const std::string deep = "C:\\" + std::string(300, 'd') + "\\Tovrin.exe";
    EXPECT_EQ(DefaultLogName(deep), deep.substr(0, deep.size() - 4) + ".LOG");
    EXPECT_EQ(FolderOf("C:\\Tools\\Tovrin.exe"), "C:\\Tools");
}

class FakeFiles : public IFileSystem {
public:
    std::set<std::string> existing;
    bool FileExists(const std::string& path) const override { return existing.count(path) != 0; }
    bool FileReadable(const std::string& path) const override { return FileExists(path); }
};

TEST(StartupRules, ConfigurationFileIsCompletedWithItsFolder) {
    FakeFiles files;
    files.existing = {"here.cfg", "C:\\Abs\\x.cfg", "C:\\Prog\\there.cfg", "sub\\y.cfg"};
    struct Case {
        const char* name;
        std::optional<std::string> cwd;
        const char* expected;
    } cases[] = {
        {"here.cfg", std::string("C:\\Work"), "C:\\Work\\here.cfg"},
        {"here.cfg", std::nullopt, "here.cfg"},
        {"C:\\Abs\\x.cfg", std::string("C:\\Work"), "C:\\Abs\\x.cfg"},
        {"sub\\y.cfg", std::string("C:\\Work"), "sub\\y.cfg"},
        {"there.cfg", std::string("C:\\Work"), "C:\\Prog\\there.cfg"},
        {"nowhere.cfg", std::string("C:\\Work"), ""},
        {"", std::string("C:\\Work"), ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ResolveConfigFile(c.name, files, c.cwd, "C:\\Prog"), c.expected) << c.name;
    }
}

TEST(StartupRules, TraceColourTakesTheLowByteOfThreeNumbers) {
    struct Case {
        const char* text;
        uint32_t colour;
    } cases[] = {{"0 0 255", 0x00FF0000},
                 {"255 0 0", 0x000000FF},
                 {"1 2 3", 0x00030201},
                 {"256 -1 7", 0x0007FF00},
                 {"12", 0x0000000C},
                 {"", 0},
                 {"x 1 2", 0},
                 {"4 x 5", 0x00000004},
                 {"99999999999999999999 1 1", 0x000101FF}};
    for (const Case& c : cases) {
        EXPECT_EQ(ParseTraceColor(c.text), c.colour) << c.text;
    }
}

class FakeLanguageHost : public ILanguageHost {
public:
    bool keyOpens = false;
    std::optional<std::string> current;
    std::optional<std::string> sysPath;
    uint32_t lcid = 0x0407;
    std::set<std::string> files;

    bool ReadHostKey(std::optional<std::string>& currentOut,
                     std::optional<std::string>& sysPathOut) override {
        currentOut = current;
        sysPathOut = sysPath;
        return keyOpens;
    }
    uint32_t UserDefaultLcid() override { return lcid; }
    std::string ProgramFolder() override { return "C:\\Prog"; }
    bool FileExists(const std::string& path) override { return files.count(path) != 0; }
};

TEST(LanguageChoice, LocaleDecidesWithoutAName) {
    struct Case {
        uint32_t lcid;
        int number;
    } cases[] = {{0x0407, 0}, {0x0807, 0}, {0x0409, 1}, {0x0413, 1}, {0x040A, 2},
                 {0x0C0A, 2}, {0x040C, 3}, {0x0410, 4}, {0x0411, 1}, {0x0000, 1}};
    for (const Case& c : cases) {
        FakeLanguageHost host;
        host.lcid = c.lcid;
        LanguageChoice choice = SelectLanguage(host);
        EXPECT_EQ(choice.number, c.number) << std::hex << c.lcid;
        EXPECT_EQ(choice.code, "");
    }
}

TEST(LanguageChoice, LibraryCandidatesInOrder) {
    FakeLanguageHost host;
    host.keyOpens = true;
    host.current = "Italian";
    EXPECT_EQ(SelectLanguage(host).libraryPath, "Tovrin4.DLL");
    host.sysPath = "D:\\Gantrivo";
    EXPECT_EQ(SelectLanguage(host).libraryPath, "D:\\Gantrivo\\OCX\\Tovrin\\Tovrin4.DLL");
    host.files.insert("C:\\Prog\\Tovrin4.DLL");
    EXPECT_EQ(SelectLanguage(host).libraryPath, "C:\\Prog\\Tovrin4.DLL");
    host.current = "German";
    EXPECT_EQ(SelectLanguage(host).libraryPath, "");
    // The key does not open: no host folder either, even when a value was read.
    host.keyOpens = false;
    host.current = "English";
    host.lcid = 0x0409;
    EXPECT_EQ(SelectLanguage(host).libraryPath, "Tovrin1.DLL");
}

} // namespace
