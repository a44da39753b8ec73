#include "app/win32/AboutDlg.h"
#include "app/win32/QarlApp.h"
#include "app/win32/RegistrySettings.h"
#include "app/win32/Win32Host.h"
#include "tests/win32/ModalScript.h"
#include "tests/win32/Win32TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace {

const char kCaption[] = "Info \xfc"
                        "ber Tovrin"; // in both templates
const char kLegalNotice[] = "Copyright (C) 2026 Tovrin developers";

// Keys below HKLM "Software" for one test, in both registry views, removed afterwards. The
// program looks for the host product in the 32-bit view; which view the settings store reads
// is the store's business, so the "Debug" sub-key is made in both.
class TestRegistry {
public:
    TestRegistry() { Remove(); }
    ~TestRegistry() { Remove(); }
    TestRegistry(const TestRegistry&) = delete;
    TestRegistry& operator=(const TestRegistry&) = delete;

    void InstallHost() const { Create("Korvane\\VANTORA\\Languages", KEY_WOW64_32KEY); }
    void AddDebug() const {
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            Create(std::string("TovrinTests\\About\\") + settings::kDebug, view);
        }
    }
    RegistrySettingsStore store{HKEY_LOCAL_MACHINE, "Software\\TovrinTests\\About"};

private:
    static void Create(const std::string& path, REGSAM view) {
        RegKey key;
        ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, "Software\\" + path, KEY_WRITE | view), ERROR_SUCCESS);
    }
    static void Remove() {
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            RegKey software;
            software.Open(HKEY_LOCAL_MACHINE, "Software", KEY_ALL_ACCESS | view);
            ::RegDeleteTreeA(software.Get(), "TovrinTests");
        }
        RegKey korvane;
        korvane.Open(HKEY_LOCAL_MACHINE, "Software\\Korvane", KEY_ALL_ACCESS | KEY_WOW64_32KEY);
        ::RegDeleteTreeA(korvane.Get(), "VANTORA");
    }
};

// What the box showed.
struct AboutLines {
    std::string caption, version, legal, host, language;
};

AboutLines ShowAndClose(CQarlAboutDlg& about) {
    AboutLines shown;
    ModalScript script({[&] {
        HWND window = FindThreadWindow(kCaption);
        if (window == nullptr) {
            return false;
        }
        shown = {WindowText(window), ItemText(window, 1018), ItemText(window, 1019), ItemText(window, 1020),
                 ItemText(window, 1021)};
        ClickButton(window, IDOK);
        return true;
    }});
    EXPECT_EQ(about.DoModal(), IDOK);
    EXPECT_TRUE(script.Finished());
    return shown;
}

// The box with the program's resources (German) or the English library's as the current ones.
class AboutBox : public testing::Test {
protected:
    void UseResources(const char* file) {
        module = std::make_unique<ResourceModule>(BinFolder() + "\\" + file);
        app.m_hResource = module->Get();
    }

    CWinApp app;
    std::unique_ptr<ResourceModule> module;
};

TEST_F(AboutBox, ShowsTheVersionsHostAndLanguage) {
    struct Case {
        const char* resources;
        const char* versionFile;
        bool hostInstalled, debug;
        const char* code;
        int language;
        const char* version;
        const char* hostLine;
        const char* languageLine;
        const char* legal;
    } cases[] = {
        {"Tovrin1.DLL", "Tovrin.exe", true, false, "ENG", 1, "Tovrin, V1.5 R",
         "for use with Gantrivo Version 5.3", "Language: ENG (Code=1)", kLegalNotice},
        {"Tovrin1.DLL", "Tovrin.exe", true, true, "ENG", 1, "Tovrin, V1.5.0.1 R",
         "for use with Gantrivo Version 5.3.0.0", "Language: ENG (Code=1)", kLegalNotice},
        {"Tovrin1.DLL", "Tovrin.exe", false, false, "ENG", 1, "Tovrin, V1.5 R", "Gantrivo-Productversion 5.3",
         "Language: ENG (Code=1)", kLegalNotice},
        {"Tovrin1.DLL", "Tovrin.exe", true, false, "", 1, "Tovrin, V1.5 R",
         "for use with Gantrivo Version 5.3", "Language:  (Code=1)", kLegalNotice},
        {"Tovrin.exe", "Tovrin.exe", true, false, "DEU", 0, "Tovrin, V1.5 R", "f\xfcr Gantrivo-Version 5.3",
         "Sprache: DEU (Code=0)", kLegalNotice},
        {"Tovrin.exe", "Tovrin.exe", false, true, "", 0, "Tovrin, V1.5.0.1 R",
         "Gantrivo-Produktversion 5.3.0.0", "Sprache:  (Code=0)", kLegalNotice},
        // Without a version resource only the language line has a text.
        {"Tovrin1.DLL", "Planted.dll", true, false, "ENG", 1, "", "", "Language: ENG (Code=1)", ""},
        {"Tovrin1.DLL", "no-such-file.exe", true, true, "ENG", 1, "", "", "Language: ENG (Code=1)", ""},
    };
    for (const Case& c : cases) {
        TestRegistry registry;
        if (c.debug) {
            registry.AddDebug();
        }
        if (c.hostInstalled) {
            registry.InstallHost();
        }
        UseResources(c.resources);
        CQarlAboutDlg about(c.code, c.language, registry.store, BinFolder() + "\\" + c.versionFile);
        const AboutLines shown = ShowAndClose(about);
        const std::string which = std::string(c.resources) + " " + c.versionFile;
        EXPECT_EQ(shown.caption, kCaption) << which;
        EXPECT_EQ(shown.version, c.version) << which << c.debug;
        EXPECT_EQ(shown.host, c.hostLine) << which << c.hostInstalled;
        EXPECT_EQ(shown.language, c.languageLine) << which;
        EXPECT_EQ(shown.legal, c.legal) << which;
        EXPECT_EQ(about.m_strVersion, c.version);
    }
}

// The program's own form takes the application object's language and the version of the
// module that holds the code: here the test program, with its own version block.
TEST_F(AboutBox, TheProgramsFormReadsTheModuleThatHoldsTheCode) {
    char own[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, own, MAX_PATH);
    EXPECT_EQ(ProgramVersionPath(), own);
    UseResources("Tovrin1.DLL");
    TestRegistry registry;
    registry.InstallHost();
    CQarlApp program; // stands for the program's application object during the test
    program.m_hResource = module->Get();
    program.m_strLanguageCode = "ENG";
    program.m_nLanguage = 1;
    RegistrySettingsStore productSettings;
    ASSERT_FALSE(productSettings.RegSubKeyExists(settings::kDebug));
    CQarlAboutDlg about;
    const AboutLines shown = ShowAndClose(about);
    EXPECT_EQ(shown.version, ", V2.0 R") << "no InternalName in the test program's block";
    EXPECT_EQ(shown.host, "for use with Gantrivo Version 7.1");
    EXPECT_EQ(shown.language, "Language: ENG (Code=1)");
    EXPECT_EQ(shown.legal.size(), 259u);
}

TEST(VersionInformation, ValuesComeFromTheFirstTranslationAndFitTheBuffer) {
    const GlobalBlock tovrin = LoadVersionInfo(BinFolder() + "\\Tovrin.exe");
    const GlobalBlock library = LoadVersionInfo(BinFolder() + "\\Tovrin1.DLL");
    char own[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, own, MAX_PATH);
    const GlobalBlock test = LoadVersionInfo(own);
    const GlobalBlock none = LoadVersionInfo(BinFolder() + "\\Planted.dll");
    ASSERT_TRUE(tovrin && library && test);
    EXPECT_FALSE(none);
    std::string legal300;
    for (int i = 0; i < 30; ++i) {
        char piece[16];
        snprintf(piece, sizeof piece, "%04d-----|", i * 10);
        legal300 += piece;
    }
    struct Case {
        const GlobalBlock& block;
        const char* key;
        DWORD translation;
        std::string expected;
    } cases[] = {
        {tovrin, "InternalName", 0, "Tovrin"},
        {tovrin, "FileVersion", 0, "1, 5, 0, 1"},
        {tovrin, "ProductVersion", 0x04b00407, "5, 3, 0, 0"},
        {tovrin, "OriginalFilename", 0x04b00409, "Tovrin.EXE"}, // no such translation: the first
        {tovrin, "Comments", 0, ""},
        {tovrin, "NoSuchKey", 0, ""},
        {library, "InternalName", 0, "Tovrin1"},
        {library, "FileDescription", 0, "Tovrin MFC Application, engl. resources"},
        {test, "LegalCopyright", 0, legal300.substr(0, 259)},
        {test, "FileVersion", 0x04e40409, "2, 0, 0, 7"},
        {test, "InternalName", 0, ""},
        {none, "FileVersion", 0, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(GetVersionString(c.block, c.key, c.translation), c.expected) << c.key;
    }
}

} // namespace
