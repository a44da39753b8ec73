#include "app/Language.h"
#include "app/win32/RegistrySettings.h"
#include "app/win32/Win32Host.h"
#include "framework/Framework.h"
#include "tests/win32/Win32TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// The host product's registry entries for one test, removed afterwards.
class HostRegistry {
public:
    HostRegistry() : cleanup(HKEY_LOCAL_MACHINE, Win32LanguageHost::kHostKey) {}
    void SetCurrent(const char* name, DWORD type = REG_SZ) const {
        RegKey key;
        CreateMachineKey(key, std::string(Win32LanguageHost::kHostKey) + "\\Languages", KEY_WRITE);
        ::RegSetValueExA(key.Get(), "Current", 0, type, reinterpret_cast<const BYTE*>(name),
                         static_cast<DWORD>(strlen(name) + 1));
    }
    void SetSysPath(const std::string& path) const {
        RegKey key;
        CreateMachineKey(key, Win32LanguageHost::kHostKey, KEY_WRITE);
        ::RegSetValueExA(key.Get(), "SysPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                         static_cast<DWORD>(path.size() + 1));
    }

private:
    ScopedRegistryTree cleanup;
};

LanguageChoice Choose() {
    Win32LanguageHost host;
    return SelectLanguage(host);
}

std::string CurrentFolder() {
    return CurrentDirectory().value_or("");
}

bool Exists(const std::string& path) {
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The host product's keys are read in the 32-bit view, where the host product (32-bit) has
// them on 64-bit Windows; the same names in the 64-bit view are not the host product's.
TEST(LanguageFromRegistry, HostKeysAreReadInThe32BitView) {
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        SCOPED_TRACE(view == KEY_WOW64_32KEY ? "32-bit view" : "64-bit view");
        ScopedRegistryTree view32(HKEY_LOCAL_MACHINE, Win32LanguageHost::kHostKey, KEY_WOW64_32KEY);
        ScopedRegistryTree view64(HKEY_LOCAL_MACHINE, Win32LanguageHost::kHostKey, KEY_WOW64_64KEY);
        RegKey key;
        ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, std::string(Win32LanguageHost::kHostKey) + "\\Languages",
                             KEY_WRITE | view),
                  ERROR_SUCCESS);
        ::RegSetValueExA(key.Get(), "Current", 0, REG_SZ, reinterpret_cast<const BYTE*>("English"), 8);
        ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, Win32LanguageHost::kHostKey, KEY_WRITE | view),
                  ERROR_SUCCESS);
        ::RegSetValueExA(key.Get(), "SysPath", 0, REG_SZ, reinterpret_cast<const BYTE*>("C:\\Host"), 8);
        key.Close();
        Win32LanguageHost host;
        std::optional<std::string> current;
        std::optional<std::string> sysPath;
        bool found = host.ReadHostKey(current, sysPath);
        EXPECT_EQ(found, view == KEY_WOW64_32KEY);
        EXPECT_EQ(current.value_or("-"), view == KEY_WOW64_32KEY ? "English" : "-");
        EXPECT_EQ(sysPath.value_or("-"), view == KEY_WOW64_32KEY ? "C:\\Host" : "-");
    }
}

// The registry decides whatever the locale is.
TEST(LanguageFromRegistry, CurrentNamesTheLanguageInAnyCase) {
    struct Case {
        const char* current;
        int number;
        const char* code;
    } cases[] = {{"english", 1, "ENG"}, {"ENGLISH", 1, "ENG"}, {"German", 0, "DEU"},
                 {"iTaLiAn", 4, "ITA"}, {"French", 3, "FRA"},  {"spanish", 2, "ESP"}};
    for (const Case& c : cases) {
        HostRegistry host;
        host.SetCurrent(c.current);
        LanguageChoice choice = Choose();
        EXPECT_EQ(choice.number, c.number) << c.current;
        EXPECT_EQ(choice.code, c.code) << c.current;
    }
}

TEST(LanguageFromRegistry, EnglishLoadsTheLibraryBesideTheProgram) {
    HostRegistry host;
    host.SetCurrent("english");
    LanguageChoice choice = Choose();
    EXPECT_EQ(choice.libraryPath, BinFolder() + "\\Tovrin1.DLL");
    HINSTANCE library = LoadLanguageLibrary(choice.libraryPath);
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(LoadStringFrom(library, 131), "*** Download finally completed");
    ::FreeLibrary(library);
}

TEST(LanguageFromRegistry, ItalianLooksBelowTheHostFolder) {
    HostRegistry host;
    host.SetCurrent("Italian");
    const std::string sysPath = CurrentFolder() + "\\host";
    host.SetSysPath(sysPath);
    LanguageChoice choice = Choose();
    EXPECT_EQ(choice.number, 4);
    ASSERT_EQ(choice.libraryPath, sysPath + "\\OCX\\Tovrin\\Tovrin4.DLL");
    EXPECT_EQ(LoadLanguageLibrary(choice.libraryPath), nullptr); // not there: German stays

    ::CreateDirectoryA(sysPath.c_str(), nullptr);
    ::CreateDirectoryA((sysPath + "\\OCX").c_str(), nullptr);
    ::CreateDirectoryA((sysPath + "\\OCX\\Tovrin").c_str(), nullptr);
    ASSERT_TRUE(::CopyFileA((BinFolder() + "\\Tovrin1.DLL").c_str(), choice.libraryPath.c_str(), FALSE));
    HINSTANCE library = LoadLanguageLibrary(choice.libraryPath);
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(LoadStringFrom(library, 138), "Cancel");
    ::FreeLibrary(library);
    ::DeleteFileA(choice.libraryPath.c_str());
}

TEST(LanguageFromRegistry, WithoutSysPathTheBareNameIsTried) {
    HostRegistry host;
    host.SetCurrent("Spanish");
    EXPECT_EQ(Choose().libraryPath, "Tovrin2.DLL");
}

// A language library is never run: a DLL with code under that name loads as data only.
TEST(LanguageFromRegistry, APlantedLibraryRunsNoCode) {
    const std::string marker = CurrentFolder() + "\\planted-code-ran.txt";
    ::DeleteFileA(marker.c_str());
    const std::string planted = CurrentFolder() + "\\Tovrin3.DLL";
    ASSERT_TRUE(::CopyFileA((BinFolder() + "\\Planted.dll").c_str(), planted.c_str(), FALSE));
    {
        HostRegistry host;
        host.SetCurrent("French"); // no SysPath, no Tovrin3.DLL beside the program: the bare name
        LanguageChoice choice = Choose();
        ASSERT_EQ(choice.libraryPath, "Tovrin3.DLL");
        HINSTANCE library = LoadLanguageLibrary(choice.libraryPath);
        ASSERT_NE(library, nullptr); // found in the current directory, mapped as data
        EXPECT_FALSE(Exists(marker));
        ::FreeLibrary(library);
    }
    // The same library loaded to run does run: the marker is a real witness.
    HMODULE running = ::LoadLibraryA(planted.c_str());
    ASSERT_NE(running, nullptr);
    EXPECT_TRUE(Exists(marker));
    ::FreeLibrary(running);
    ::DeleteFileA(marker.c_str());
    ::DeleteFileA(planted.c_str());
}

TEST(LanguageFromRegistry, ResourcesOfEveryKindLoadFromADataLibrary) {
    HINSTANCE library = LoadLanguageLibrary(BinFolder() + "\\Tovrin1.DLL");
    ASSERT_NE(library, nullptr);
    EXPECT_NE(::LoadIconA(library, MAKEINTRESOURCEA(128)), nullptr);
    HMENU menu = ::LoadMenuA(library, MAKEINTRESOURCEA(131));
    EXPECT_NE(menu, nullptr);
    ::DestroyMenu(menu);
    HWND dialog = ::CreateDialogParamA(library, MAKEINTRESOURCEA(102), nullptr, nullptr, 0);
    ASSERT_NE(dialog, nullptr);
    char label[64] = {};
    ::GetDlgItemTextA(dialog, 1026, label, sizeof label);
    EXPECT_STREQ(label, "Steps scheduled for execution:");
    ::DestroyWindow(dialog);
    ::FreeLibrary(library);
}

// No host entries: the user's locale decides. Each suite runs under its own LANG.
void ExpectLocaleChoice(int number) {
    HostRegistry host; // removes any entries
    LanguageChoice choice = Choose();
    EXPECT_EQ(choice.number, number);
    EXPECT_EQ(choice.code, "");
    EXPECT_EQ(choice.libraryPath, number == 0 ? "" : BinFolder() + "\\Tovrin1.DLL");
}

TEST(LanguageUnderGermanLocale, IsGermanWithoutLibrary) {
    ExpectLocaleChoice(0);
}

TEST(LanguageUnderGermanLocale, AnUnknownCurrentLeavesItToTheLocale) {
    for (const char* current : {"ENG", "Deutsch", ""}) {
        HostRegistry host;
        host.SetCurrent(current);
        EXPECT_EQ(Choose().number, 0) << current;
    }
    HostRegistry host;
    host.SetCurrent("English", REG_BINARY); // not a text
    EXPECT_EQ(Choose().number, 0);
}

TEST(LanguageUnderEnglishLocale, IsEnglishFromTheProgramFolder) {
    ExpectLocaleChoice(1);
}

TEST(LanguageUnderDutchLocale, IsEnglishFromTheProgramFolder) {
    ExpectLocaleChoice(1);
}

} // namespace
