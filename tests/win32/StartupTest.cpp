#include "app/win32/RegistrySettings.h"
#include "app/win32/Win32Host.h"
#include "tests/win32/ProgramRun.h"
#include "tests/win32/Win32TestSupport.h"

#include <gtest/gtest.h>

namespace {

std::string Box(const std::string& message) {
    return message + "\n\n" + German(182);
}

struct BoxCase {
    const char* arguments;
    std::vector<std::string> boxes;
};

// Command-line errors show one box each, in the built-in German texts, and no main dialog.
// The runs start in the test's working directory, which holds a.cfg.
void ExpectBoxes(const std::vector<BoxCase>& cases) {
    HANDLE file =
        ::CreateFileA("a.cfg", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ::CloseHandle(file);
    for (const BoxCase& c : cases) {
        BoxesSeen seen = CollectBoxes(c.arguments);
        EXPECT_FALSE(seen.mainDialogShown) << c.arguments;
        EXPECT_EQ(seen.texts, c.boxes) << c.arguments;
        // Ended, and by itself: a start that failed before any window (a DLL that could not be
        // loaded) ends with the system's status instead.
        EXPECT_EQ(seen.exitCode, 0u) << c.arguments;
    }
}

const std::vector<BoxCase>& SyntaxCases() {
    static const std::vector<BoxCase> cases = {
        {"-B9601", {Box("Unzul\xe4ssige Baudrate: 9601")}},
        {"-?", {Box("")}},
        {"a.cfg b.cfg", {Box("Es ist nur eine einzige Konfigurationsdatei als Parameter zul\xe4ssig")}},
        {"-B96x0 -C0", {Box("Syntaxfehler bei Baudraten-Angabe."), Box("Unzul\xe4ssiger COMPort: 0")}},
        // Start-up still resolves the configuration after a syntax error.
        {"x.cfg -C257",
         {Box("Unzul\xe4ssiger COMPort: 257"),
          "Die in der Kommandozeile angegebene Datei x.cfg existiert nicht."}},
    };
    return cases;
}

TEST(Startup, CommandLineErrorsShowTheirBoxes) {
    ExpectBoxes(SyntaxCases());
}

TEST(Startup, CommandLineErrorsStayGermanWithTheEnglishLibrary) {
    ScopedRegistryTree cleanup(HKEY_LOCAL_MACHINE, Win32LanguageHost::kHostKey);
    RegKey key;
    CreateMachineKey(key, std::string(Win32LanguageHost::kHostKey) + "\\Languages", KEY_WRITE);
    const char english[] = "English";
    ::RegSetValueExA(key.Get(), "Current", 0, REG_SZ, reinterpret_cast<const BYTE*>(english), sizeof english);
    ExpectBoxes(SyntaxCases());
}

TEST(Startup, UsageBoxStartsWithTwoEmptyLines) {
    BoxesSeen seen = CollectBoxes("/?");
    ASSERT_EQ(seen.texts.size(), 1u);
    EXPECT_EQ(seen.texts[0].substr(0, 2), "\n\n");
}

TEST(Startup, AMissingConfigurationIsReportedAndTheDialogStillComes) {
    BoxesSeen seen = CollectBoxes("nowhere.cfg");
    ASSERT_EQ(seen.texts.size(), 1u);
    EXPECT_EQ(seen.texts[0], "Die in der Kommandozeile angegebene Datei nowhere.cfg existiert nicht.");
    EXPECT_TRUE(seen.mainDialogShown);
}

TEST(Startup, AValidCommandLineShowsTheMainDialog) {
    BoxesSeen seen = CollectBoxes("-C3 -B19200");
    EXPECT_TRUE(seen.texts.empty());
    EXPECT_TRUE(seen.mainDialogShown);
}

} // namespace
