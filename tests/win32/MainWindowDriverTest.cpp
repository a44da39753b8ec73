// Tovrin.exe driven from outside, as a user would: run by the end-to-end driver with the
// controller simulator linked as COM1 and the configuration named by TOVRIN_TEST_CONFIG, in
// an empty registry; skipped without them.
#include "app/win32/RegistrySettings.h"
#include "app/win32/Win32Host.h"
#include "tests/win32/ProgramRun.h"
#include "tests/win32/Win32TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace {

constexpr DWORD kTransferLimitMs = 60000;

std::string ItemText(HWND dialog, int id) {
    char text[512] = {};
    ::GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

// Wine hands an ANSI LB_GETTEXT across processes back cut after its first character: the
// lines are read as Unicode and converted here.
std::vector<std::string> ListLines(HWND list) {
    std::vector<std::string> lines;
    for (LRESULT i = 0, count = ::SendMessageW(list, LB_GETCOUNT, 0, 0); i < count; ++i) {
        wchar_t wide[1024] = {};
        ::SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(wide));
        char text[1024] = {};
        ::WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
        lines.push_back(text);
    }
    return lines;
}

std::string FileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return file ? std::string(std::istreambuf_iterator<char>(file), {}) : std::string("<none>");
}

bool WaitFor(const std::function<bool()>& done, DWORD limitMs) {
    DWORD start = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - start > limitMs) {
            return false;
        }
        ::Sleep(20);
    }
    return true;
}

struct WindowSearch {
    DWORD processId;
    HWND except;
    const char* className;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter) {
    WindowSearch* s = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner == s->processId && window != s->except && ::IsWindowVisible(window) &&
        ClassOf(window) == s->className) {
        s->found = window;
        return FALSE;
    }
    return TRUE;
}

// A visible top-level window of the process other than `except` whose class is `className`.
HWND OtherWindow(DWORD processId, HWND except, const char* className) {
    WindowSearch search{processId, except, className, nullptr};
    ::EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForOther(DWORD processId, HWND except, const char* className) {
    HWND found = nullptr;
    WaitFor([&] { return (found = OtherWindow(processId, except, className)) != nullptr; }, 10000);
    return found;
}

std::string ClipboardText() {
    std::string text = "<none>";
    if (::OpenClipboard(nullptr)) {
        if (HANDLE data = ::GetClipboardData(CF_TEXT)) {
            if (const char* bytes = static_cast<const char*>(::GlobalLock(data))) {
                text.assign(bytes, ::strnlen(bytes, ::GlobalSize(data)));
                ::GlobalUnlock(data);
            }
        }
        ::CloseClipboard();
    }
    return text;
}

POINT CentreOf(HWND window) {
    RECT rect{};
    ::GetWindowRect(window, &rect);
    return POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
}

void PostContextMenu(HWND dialog, HWND over, POINT at) {
    ::PostMessageA(dialog, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(over), MAKELPARAM(at.x, at.y));
}

// Evidence for a reviewer, not an assertion: a picture of the screen when TOVRIN_SHOTS names a
// folder (a Unix path; Wine starts the Unix program itself).
void Screenshot(const char* name) {
    const char* folder = std::getenv("TOVRIN_SHOTS");
    if (folder == nullptr) {
        return;
    }
    ::Sleep(500); // the program paints a window that has just come up
    std::string command = std::string("/usr/bin/import -window root ") + folder + "/" + name + ".png";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (::CreateProcessA("Z:\\usr\\bin\\import", &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                         &startup, &process)) {
        ::WaitForSingleObject(process.hProcess, 10000);
        ::Sleep(1000); // the Unix program's end is not always waited for
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
}

struct Layout {
    int startOffset; // client right minus the Start button's left edge
    int bottomMargin;
};

Layout LayoutOf(HWND dialog) {
    RECT client{};
    ::GetClientRect(dialog, &client);
    RECT start{}, steps{};
    ::GetWindowRect(::GetDlgItem(dialog, 1009), &start);
    ::GetWindowRect(::GetDlgItem(dialog, 1006), &steps);
    ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&start), 2);
    ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&steps), 2);
    return Layout{client.right - start.left, client.bottom - steps.bottom};
}

TEST(MainWindowOverPty, AUserRunsATransferAndClosesTheWindow) {
    const char* config = std::getenv("TOVRIN_TEST_CONFIG");
    if (config == nullptr || std::getenv("TOVRIN_TEST_PORT") == nullptr) {
        GTEST_SKIP() << "run by the end-to-end driver with a simulated controller";
    }
    const std::string log = "run.log";
    ::DeleteFileA(log.c_str());
    Layout template_{};
    {
        ProgramRun run(std::string("\"") + config + "\" -L " + log);
        HWND dialog = run.WaitForWindow();
        ASSERT_TRUE(dialog != nullptr && ProgramRun::IsMainDialog(dialog));
        HWND messages = ::GetDlgItem(dialog, 1005);
        template_ = LayoutOf(dialog);
        // Idle, with the defaults of an empty registry.
        EXPECT_EQ(ItemText(dialog, 1015), "COM1: 38400, 8N1");
        EXPECT_EQ(ItemText(dialog, 1026), "Steps scheduled for execution:");
        EXPECT_EQ(ItemText(dialog, 1009), "Start &Transfer");
        Screenshot("steps-view");

        ::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(1009, BN_CLICKED), 0);
        ASSERT_TRUE(WaitFor([&] { return ItemText(dialog, 1009) == "Cancel"; }, 10000));
        EXPECT_EQ(ItemText(dialog, 1026), "Messages:");
        ASSERT_TRUE(WaitFor([&] { return ListLines(messages).size() >= 4; }, 10000))
            << "lines appear as it runs";

        // A close while the transfer runs: box 136, the log written now, the transfer goes on.
        ::PostMessageA(dialog, WM_CLOSE, 0, 0);
        HWND box = WaitForOther(run.ProcessId(), dialog, "#32770");
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(ProgramRun::BoxText(box),
                  "Download is still in progress. Therefore, this program cannot terminate.");
        EXPECT_NE(BoxIcon(box), nullptr) << "the framework's box shows its exclamation mark";
        EXPECT_EQ(::GetWindow(box, GW_OWNER), dialog);
        Screenshot("box-136");
        ProgramRun::PressOk(box);
        const std::string written = FileBytes(log);
        EXPECT_NE(written.find("*** Start Download\r\n"), std::string::npos) << written;

        // The end: the final line, the Start text and the summary back. (The session reads its
        // state when it handles a message, so it may end a moment before the last lines show.)
        ASSERT_TRUE(WaitFor(
            [&] {
                const std::vector<std::string> lines = ListLines(messages);
                return !lines.empty() && lines.back() == "*** Download finally completed" &&
                       ItemText(dialog, 1009) == "Start &Transfer";
            },
            kTransferLimitMs));
        EXPECT_EQ(ItemText(dialog, 1015), "COM1: 38400, 8N1");
        const std::vector<std::string> lines = ListLines(messages);
        Screenshot("messages-view");

        // Copy: every line with CR LF.
        ::SendMessageA(dialog, WM_COMMAND, 32776, 0);
        std::string expected;
        for (const std::string& line : lines) {
            expected += line + "\r\n";
        }
        EXPECT_EQ(ClipboardText(), expected);

        // The visible message list offers Copy and Save; the configuration list the About box.
        PostContextMenu(dialog, messages, CentreOf(messages));
        HWND menu = WaitForOther(run.ProcessId(), dialog, "#32768");
        EXPECT_NE(menu, nullptr) << "the Copy/Save menu";
        ::PostMessageA(dialog, WM_CANCELMODE, 0, 0);
        WaitFor([&] { return OtherWindow(run.ProcessId(), dialog, "#32768") == nullptr; }, 5000);
        HWND configurations = ::GetDlgItem(dialog, 1025);
        PostContextMenu(dialog, configurations, CentreOf(configurations));
        HWND about = WaitForOther(run.ProcessId(), dialog, "#32770");
        ASSERT_NE(about, nullptr) << "the About box";
        char caption[64] = {};
        ::GetWindowTextA(about, caption, sizeof caption);
        EXPECT_EQ(std::string(caption), "Info \xfc"
                                        "ber Tovrin");
        // Modal to the main dialog: owned by it, which is disabled while the box is open.
        EXPECT_EQ(::GetWindow(about, GW_OWNER), dialog);
        EXPECT_FALSE(::IsWindowEnabled(dialog));
        Screenshot("about-box");
        ProgramRun::PressOk(about);
        WaitFor([&] { return !::IsWindow(about); }, 5000);
        EXPECT_TRUE(::IsWindowEnabled(dialog)) << "enabled again when the box has gone";

        // Down to the minimum size the Start button and the lower lists keep their offsets.
        ::SetWindowPos(dialog, nullptr, 0, 0, 10, 10, SWP_NOMOVE | SWP_NOZORDER);
        RECT outer{};
        ::GetWindowRect(dialog, &outer);
        EXPECT_EQ(outer.right - outer.left, 200);
        EXPECT_EQ(outer.bottom - outer.top, 250);
        const Layout small = LayoutOf(dialog);
        EXPECT_EQ(small.startOffset, template_.startOffset);
        EXPECT_EQ(small.bottomMargin, template_.bottomMargin);

        // The close after the end writes nothing more.
        ::PostMessageA(dialog, WM_CLOSE, 0, 0);
        EXPECT_EQ(run.WaitForExit(), 0u);
        EXPECT_EQ(FileBytes(log), written);
    }
    RegistrySettingsStore store;
    EXPECT_EQ(store.ReadRegDword(settings::kConfiguration, "Width", 0), 200);
    EXPECT_EQ(store.ReadRegDword(settings::kConfiguration, "Height", 0), 250);

    // The next start comes up at that size; Escape ends it without a log.
    ::DeleteFileA(log.c_str());
    ProgramRun again(std::string("\"") + config + "\" -L " + log);
    HWND dialog = again.WaitForWindow();
    ASSERT_NE(dialog, nullptr);
    RECT outer{};
    ::GetWindowRect(dialog, &outer);
    EXPECT_EQ(outer.right - outer.left, 200);
    EXPECT_EQ(outer.bottom - outer.top, 250);
    ::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    EXPECT_EQ(again.WaitForExit(), 0u);
    EXPECT_EQ(FileBytes(log), "<none>");
}

// --- The catalogue of the program's own folder, seen from outside ---

// Tovrin.exe and its English library copied into a folder of their own with the given
// configurations (name, description), in an empty settings key.
class ProgramFolder : public ::testing::Test {
protected:
    void SetUp() override {
        char work[MAX_PATH] = {};
        ::GetCurrentDirectoryA(MAX_PATH, work);
        folder = std::string(work) + "\\" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ::CreateDirectoryA(folder.c_str(), nullptr);
        for (const char* file : {"Tovrin.exe", "Tovrin1.DLL"}) {
            ASSERT_TRUE(
                ::CopyFileA((BinFolder() + "\\" + file).c_str(), (folder + "\\" + file).c_str(), FALSE));
        }
    }
    std::string Add(const std::string& name, const std::string& description,
                    const std::string& steps = "Step1=One\r\n[Step1]\r\nAckByte=197\r\n"
                                               "BootFile=x.bin\r\nFirmware=x.b86\r\n") {
        const std::string path = folder + "\\" + name;
        std::ofstream(path, std::ios::binary) << "[LoadingSteps]\r\nDescription=" << description << "\r\n"
                                              << steps;
        return path;
    }
    std::string Program() const { return folder + "\\Tovrin.exe"; }
    std::string Recent(int n) {
        return store.ReadRegString(settings::kRecentFileList, "File" + std::to_string(n), "");
    }

    ScopedRegistryTree cleanup{HKEY_LOCAL_MACHINE, RegistrySettingsStore::kSettingsKey};
    RegistrySettingsStore store;
    std::string folder;
};

struct Catalogue {
    std::vector<std::string> items;
    int selection;
};

// Starts the copy in its folder, reads its configuration list, and lets `then` act on it
// before the window is closed.
Catalogue RunAndRead(const std::string& program, const std::string& arguments = "",
                     const std::function<void(const ProgramRun&, HWND)>& then = nullptr) {
    Catalogue seen{{"<no window>"}, -2};
    ProgramRun run(arguments, "", program);
    HWND dialog = run.WaitForWindow();
    if (dialog == nullptr || !ProgramRun::IsMainDialog(dialog)) {
        return seen;
    }
    HWND list = ::GetDlgItem(dialog, 1025);
    seen = {ListLines(list), static_cast<int>(::SendMessageA(list, LB_GETCURSEL, 0, 0))};
    if (then) {
        then(run, dialog);
    }
    ::PostMessageA(dialog, WM_CLOSE, 0, 0);
    EXPECT_EQ(run.WaitForExit(), 0u);
    return seen;
}

// Selects an item of the configuration list as a click does and reads the steps view.
std::vector<std::string> StepsAfterClick(HWND dialog, int item) {
    HWND list = ::GetDlgItem(dialog, 1025);
    ::SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(item), 0);
    ::SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(1025, LBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
    return ListLines(::GetDlgItem(dialog, 1006));
}

TEST_F(ProgramFolder, ListsItsConfigurationsSortedAndSelectsNoneOfSeveral) {
    Add("b.cfg", "Beta");
    Add("a.cfg", "alpha");
    Add("g.cfg", "Gamma");
    const Catalogue seen = RunAndRead(Program());
    EXPECT_EQ(seen.items, (std::vector<std::string>{"alpha", "Beta", "Gamma"}));
    EXPECT_EQ(seen.selection, LB_ERR);
    EXPECT_EQ(Recent(1), "") << "nothing was selected, nothing is remembered";
}

TEST_F(ProgramFolder, OffersThePlaceholderWhenItHoldsNoConfiguration) {
    std::string box;
    std::vector<std::string> steps = {"<not read>"};
    const Catalogue seen = RunAndRead(Program(), "", [&](const ProgramRun& run, HWND dialog) {
        steps = StepsAfterClick(dialog, 0);
        ::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(1009, BN_CLICKED), 0);
        if (HWND found = WaitForOther(run.ProcessId(), dialog, "#32770")) {
            box = ProgramRun::BoxText(found);
            ProgramRun::PressOk(found);
            WaitFor([&] { return !::IsWindow(found); }, 5000);
        }
    });
    EXPECT_EQ(seen.items, std::vector<std::string>{"<no configurationfiles found>"});
    EXPECT_EQ(seen.selection, 0);
    EXPECT_EQ(box, "No configuration file selected!");
    EXPECT_EQ(steps, std::vector<std::string>{}) << "the placeholder has no steps";
}

// A click on an item lists its configuration's steps, with the checks of their files, or says
// that it has none.
TEST_F(ProgramFolder, ListsTheStepsOfTheClickedConfiguration) {
    Add("a.cfg", "alpha");
    Add("e.cfg", "Empty", "");
    struct Case {
        int item;
        std::vector<std::string> steps;
    } cases[] = {
        {0,
         {"One", "Connect to device (Ack = C5)", "Transmit bootfile x.bin", "Transmit firmware x.b86",
          "*** The BIN file x.bin does not exist", "*** The B86-file x.b86 does not exist"}},
        {1, {"The current configuration does not contain any download steps."}},
    };
    std::vector<std::vector<std::string>> shown;
    RunAndRead(Program(), "", [&](const ProgramRun&, HWND dialog) {
        for (const Case& c : cases) {
            shown.push_back(StepsAfterClick(dialog, c.item));
        }
    });
    ASSERT_EQ(shown.size(), std::size(cases));
    for (size_t i = 0; i < shown.size(); ++i) {
        EXPECT_EQ(shown[i], cases[i].steps) << "item " << cases[i].item;
    }
}

// File1 names a file that is gone; File2 a listed configuration, which is selected and then
// remembered first.
TEST_F(ProgramFolder, SelectsTheFirstRecentConfigurationThatOpens) {
    Add("a.cfg", "alpha");
    const std::string gamma = Add("g.cfg", "Gamma");
    const std::string gone = folder + "\\gone.cfg";
    store.WriteRegString(settings::kRecentFileList, "File1", gone);
    store.WriteRegString(settings::kRecentFileList, "File2", gamma);
    const Catalogue seen = RunAndRead(Program());
    ASSERT_EQ(seen.items, (std::vector<std::string>{"alpha", "Gamma"}));
    EXPECT_EQ(seen.selection, 1);
    EXPECT_EQ(Recent(1), gamma);
    EXPECT_EQ(Recent(2), gone);
}

TEST_F(ProgramFolder, ABatchRunRemembersItsConfiguration) {
    const std::string configuration = Add("a.cfg", "alpha");
    ProgramRun run("\"" + configuration + "\" -X -C9 -B9600 -L batch.log", "", Program());
    EXPECT_EQ(run.WaitForExit(), 1u) << "COM9 does not open";
    EXPECT_EQ(Recent(1), configuration);
}

// The Interface button opens the settings dialog; OK with 57.600 chosen changes the summary.
TEST_F(ProgramFolder, ChangesTheBaudRateThroughTheInterfaceDialog) {
    std::string summary;
    RunAndRead(Program(), "", [&summary](const ProgramRun& run, HWND dialog) {
        ::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(1024, BN_CLICKED), 0);
        HWND settingsDialog = WaitForOther(run.ProcessId(), dialog, "#32770");
        ASSERT_NE(settingsDialog, nullptr);
        Screenshot("settings-dialog");
        HWND baud = ::GetDlgItem(settingsDialog, 1011);
        ::SendMessageA(baud, CB_SETCURSEL, 4, 0);
        ::SendMessageA(settingsDialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        WaitFor([&] { return !::IsWindow(settingsDialog); }, 5000);
        summary = ItemText(dialog, 1015);
    });
    EXPECT_EQ(summary, "COM1: 57600, 8N1");
    EXPECT_EQ(store.ReadRegDword(settings::kConfiguration, "Baudrate", 0), 57600);
}

} // namespace
