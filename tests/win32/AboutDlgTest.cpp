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
const char kTestSettingsKey[] = "Software\\TovrinTests\\About";

// A key below HKLM "Software" in one registry view, removed with everything below it.
class ViewKey {
public:
    ViewKey(REGSAM view, std::string below) : view(view), below(std::move(below)) { Remove(); }
    ~ViewKey() { Remove(); }
    ViewKey(const ViewKey&) = delete;
    ViewKey& operator=(const ViewKey&) = delete;
    void Create(const std::string& path) const {
        RegKey key;
        ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, "Software\\" + path, KEY_WRITE | view), ERROR_SUCCESS)
            << path;
    }

private:
    void Remove() const {
        RegKey software;
        if (software.Open(HKEY_LOCAL_MACHINE, "Software", KEY_ALL_ACCESS | view) == ERROR_SUCCESS) {
            ::RegDeleteTreeA(software.Get(), below.c_str());
        }
    }
    REGSAM view;
    std::string below;
};

// The host product's key, where the program looks for it (the 32-bit view).
class HostProduct {
public:
    void Install() const { host.Create("Korvane\\VANTORA\\Languages"); }

private:
    ViewKey host{KEY_WOW64_32KEY, "Korvane\\VANTORA"};
};

// The test's settings key with or without the empty sub-key "Debug", in both views: which one
// the store reads is the store's business.
class TestSettings {
public:
    void AddDebug() const {
        view32.Create(std::string("TovrinTests\\About\\") + settings::kDebug);
        view64.Create(std::string("TovrinTests\\About\\") + settings::kDebug);
    }
    RegistrySettingsStore store{HKEY_LOCAL_MACHINE, kTestSettingsKey};

private:
    ViewKey view32{KEY_WOW64_32KEY, "TovrinTests"};
    ViewKey view64{KEY_WOW64_64KEY, "TovrinTests"};
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

// The box in one language with the program's own resources as they are loaded at run time.
class AboutBox : public testing::Test {
protected:
    void UseResources(const char* file) {
        module = std::make_unique<ResourceModule>(BinFolder() + "\\" + file);
        app.m_hResource = module->Get();
    }
    static std::string TovrinPath() { return BinFolder() + "\\Tovrin.exe"; }

    CWinApp app;
    std::unique_ptr<ResourceModule> module;
    TestSettings settings;
    HostProduct host;
};

TEST_F(AboutBox, ShowsTheVersionsHostAndLanguage) {
    struct Case {
        const char* resources;
        bool hostInstalled;
        bool debug;
        const char* code;
        int language;
        const char* version;
        const char* hostLine;
        const char* languageLine;
    } cases[] = {
        {"Tovrin1.DLL", true, false, "ENG", 1, "Tovrin, V1.5 R", "for use with Gantrivo Version 5.3",
         "Language: ENG (Code=1)"},
        {"Tovrin1.DLL", true, true, "ENG", 1, "Tovrin, V1.5.0.1 R", "for use with Gantrivo Version 5.3.0.0",
         "Language: ENG (Code=1)"},
        {"Tovrin1.DLL", false, false, "ENG", 1, "Tovrin, V1.5 R", "Gantrivo-Productversion 5.3",
         "Language: ENG (Code=1)"},
        {"Tovrin1.DLL", true, false, "", 1, "Tovrin, V1.5 R", "for use with Gantrivo Version 5.3",
         "Language:  (Code=1)"},
        {"Tovrin.exe", true, false, "DEU", 0, "Tovrin, V1.5 R", "f\xfcr Gantrivo-Version 5.3",
         "Sprache: DEU (Code=0)"},
        {"Tovrin.exe", false, true, "", 0, "Tovrin, V1.5.0.1 R", "Gantrivo-Produktversion 5.3.0.0",
         "Sprache:  (Code=0)"},
    };
    for (const Case& c : cases) {
        TestSettings caseSettings;
        HostProduct caseHost;
        if (c.debug) {
            caseSettings.AddDebug();
        }
        if (c.hostInstalled) {
            caseHost.Install();
        }
        UseResources(c.resources);
        CQarlAboutDlg about(c.code, c.language, caseSettings.store, TovrinPath());
        const AboutLines shown = ShowAndClose(about);
        EXPECT_EQ(shown.caption, kCaption) << c.resources;
        EXPECT_EQ(shown.version, c.version) << c.resources << c.debug;
        EXPECT_EQ(shown.host, c.hostLine) << c.resources << c.hostInstalled;
        EXPECT_EQ(shown.language, c.languageLine) << c.resources;
        EXPECT_EQ(shown.legal, kLegalNotice);
        EXPECT_EQ(about.m_strVersion, c.version);
        EXPECT_EQ(about.m_strLegalNotice, kLegalNotice);
    }
}

TEST_F(AboutBox, WithoutAVersionResourceShowsOnlyTheLanguage) {
    host.Install();
    UseResources("Tovrin1.DLL");
    for (const std::string& path : {BinFolder() + "\\Planted.dll", BinFolder() + "\\no-such-file.exe"}) {
        CQarlAboutDlg about("ENG", 1, settings.store, path);
        const AboutLines shown = ShowAndClose(about);
        EXPECT_EQ(shown.version, "") << path;
        EXPECT_EQ(shown.legal, "") << path;
        EXPECT_EQ(shown.host, "") << path;
        EXPECT_EQ(shown.language, "Language: ENG (Code=1)") << path;
    }
}

// The program's own form takes the application object's language and the version of the
// module that holds the code: here the test program, with its own version block.
TEST_F(AboutBox, TheProgramsFormReadsTheModuleThatHoldsTheCode) {
    char own[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, own, MAX_PATH);
    EXPECT_EQ(ProgramVersionPath(), own);
    UseResources("Tovrin1.DLL");
    host.Install();
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
