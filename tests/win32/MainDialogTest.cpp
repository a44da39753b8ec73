// The main dialog itself, run modally on the test's thread under Wine: a script drives it with
// window messages once it is up and reads back controls, menus, the clipboard and pixels.
#include "app/SettingsStore.h"
#include "app/win32/QarlDlgAutoProxy.h"
#include "config/win32/Win32ProfileReader.h"
#include "engine/win32/Win32EnginePlatform.h"
#include "tests/unit/support/ThreadedEnginePlatform.h"
#include "tests/win32/ModalScript.h"
#include "tests/win32/ProgramRun.h"
#include "tests/win32/Win32TestSupport.h"
#include "ui/win32/QarlDlg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>

namespace {

constexpr UINT kRunScript = WM_APP + 1;
using settings::kConfiguration;

IProfileReader& Profile() {
    static Win32ProfileReader reader;
    return reader;
}

std::string WorkFile(const std::string& name) {
    char folder[MAX_PATH] = {};
    ::GetCurrentDirectoryA(MAX_PATH, folder);
    return std::string(folder) + "\\" + name;
}

std::string FileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return file ? std::string(std::istreambuf_iterator<char>(file), {}) : std::string("<none>");
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A configuration of one step whose files exist.
std::string OneStepConfiguration() {
    WriteFileBytes(WorkFile("one.bin"), std::string(100, '\x80'));
    WriteFileBytes(WorkFile("one.b86"), std::string("\x04\0\0\0\0abcd", 9));
    const std::string path = WorkFile("one.cfg");
    WriteFileBytes(path, "[LoadingSteps]\r\nDescription=One step\r\nStep1=Only\r\n[Step1]\r\nAckByte=197\r\n"
                         "BootFile=one.bin\r\nFirmware=one.b86\r\n");
    return path;
}

std::vector<std::string> ListLines(const CListBox& list) {
    std::vector<std::string> lines;
    for (int i = 0; i < list.GetCount(); ++i) {
        lines.push_back(list.GetText(i));
    }
    return lines;
}

std::vector<std::string> MenuTexts(HMENU menu) {
    std::vector<std::string> texts;
    for (int i = 0, count = ::GetMenuItemCount(menu); i < count; ++i) {
        char text[128] = {};
        ::GetMenuStringA(menu, static_cast<UINT>(i), text, sizeof text, MF_BYPOSITION);
        texts.push_back(text);
    }
    return texts;
}

POINT Centre(const RECT& rect) {
    return POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
}

// The main dialog on the test's thread. The script runs once the dialog is up; the dialog is
// ended when it returns. The About box is counted, and only opened when asked for; every
// window that opens (a box, a menu, the Save As dialog, the About box) is handed to `onWindow`.
class DialogRun : public CQarlDlg {
public:
    using Script = std::function<void(DialogRun&)>;

    DialogRun(const StartupValues& startup, MemorySettingsStore& store,
              std::shared_ptr<IEnginePlatform> platform = std::make_shared<Win32EnginePlatform>())
        : CQarlDlg(startup, store, Profile(), std::move(platform)) {}

    void Run(Script body) {
        script = std::move(body);
        DoModal();
        EXPECT_TRUE(scriptRan) << "the dialog did not come up";
    }
    void End() { EndDialog(IDCANCEL); }
    void DoubleClick(POINT client) { SendMessage(WM_LBUTTONDBLCLK, 0, MAKELPARAM(client.x, client.y)); }
    void Command(UINT id, UINT notification = BN_CLICKED) {
        SendMessage(WM_COMMAND, MAKEWPARAM(id, notification));
    }
    void ContextMenu(HWND over, POINT screen) {
        SendMessage(WM_CONTEXTMENU, reinterpret_cast<WPARAM>(over), MAKELPARAM(screen.x, screen.y));
    }
    bool MessagesView() const { return messageListBox.IsWindowVisible(); }
    using CQarlDlg::MayClose;

    int aboutRequests = 0;
    bool openAbout = false; // else an About request is only counted
    int widthAtInit = 0;    // windowWidth and windowHeight as OnInitDialog found them
    int heightAtInit = 0;
    std::vector<RECT> controlsAtInit;
    std::function<void(HWND)> onWindow;

protected:
    BOOL OnInitDialog() override {
        widthAtInit = windowWidth;
        heightAtInit = windowHeight;
        for (int id : {1005, 1006, 1009, 1015, 1024, 1025, 1026}) {
            RECT rect{};
            ::GetWindowRect(GetDlgItem(id), &rect);
            controlsAtInit.push_back(rect);
        }
        BOOL result = CQarlDlg::OnInitDialog();
        ::PostMessageA(m_hWnd, kRunScript, 0, 0);
        return result;
    }
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override {
        switch (message) {
        case kRunScript: {
            WindowWatcher watcher(m_hWnd, [this](HWND window) {
                if (onWindow) {
                    onWindow(window);
                }
            });
            scriptRan = true;
            if (script) {
                script(*this);
            }
            End();
            return true;
        }
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
                ++aboutRequests;
                if (!openAbout) {
                    return true;
                }
            }
            break;
        default:
            break;
        }
        return CQarlDlg::OnMessage(message, wParam, lParam, result);
    }

private:
    Script script;
    bool scriptRan = false;
};

// The dialog takes its templates, texts, menu and icon from the English library, as the
// program does when English is chosen.
class MainDialog : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(english.Get(), nullptr);
        app.m_hInstance = ::GetModuleHandleA(nullptr);
        app.m_hResource = english.Get();
    }
    ResourceModule english{BinFolder() + "\\Tovrin1.DLL"};
    CWinApp app;
};

StartupValues Interactive() {
    StartupValues startup;
    startup.logFile = WorkFile("main.log");
    return startup;
}

// --- Layout ---

TEST_F(MainDialog, ASizeNotificationBeforeInitialisationOnlyRecordsTheSize) {
    MemorySettingsStore store;
    DialogRun dialog(Interactive(), store);
    RECT outer{};
    std::vector<RECT> templateRects;
    dialog.Run([&](DialogRun& d) {
        outer = d.GetWindowRect();
        for (int id : {1005, 1006, 1009, 1015, 1024, 1025, 1026}) {
            RECT rect{};
            ::GetWindowRect(d.GetDlgItem(id), &rect);
            templateRects.push_back(rect);
        }
    });
    // The creation's size notification reached the dialog before OnInitDialog ran ...
    EXPECT_EQ(dialog.widthAtInit, outer.right - outer.left);
    EXPECT_EQ(dialog.heightAtInit, outer.bottom - outer.top);
    // ... and moved no control: every one stood where the template put it.
    ASSERT_EQ(dialog.controlsAtInit.size(), templateRects.size());
    for (size_t i = 0; i < templateRects.size(); ++i) {
        EXPECT_TRUE(::EqualRect(&dialog.controlsAtInit[i], &templateRects[i])) << "control " << i;
    }
}

TEST_F(MainDialog, KeepsItsMarginsDownToTheMinimumSize) {
    MemorySettingsStore store;
    DialogRun dialog(Interactive(), store);
    dialog.Run([](DialogRun& d) {
        const RECT before = d.GetClientRect();
        const int offset = before.right - d.startButton.GetRectInParent().left;
        const int bottom = before.bottom - d.stepsListBox.GetRectInParent().bottom;
        const RECT labelBefore = d.interfaceButton.GetRectInParent();
        EXPECT_EQ(offset, d.startButtonOffset);
        EXPECT_EQ(bottom, d.bottomMargin);
        for (SIZE size : {SIZE{700, 500}, SIZE{100, 100}}) {
            // The smallest tracking size holds for any size asked for.
            ::SetWindowPos(d.m_hWnd, nullptr, 0, 0, size.cx, size.cy, SWP_NOMOVE | SWP_NOZORDER);
            const RECT outer = d.GetWindowRect();
            if (size.cx < CQarlDlg::kMinTrackWidth) {
                EXPECT_EQ(outer.right - outer.left, CQarlDlg::kMinTrackWidth);
                EXPECT_EQ(outer.bottom - outer.top, CQarlDlg::kMinTrackHeight);
            }
            EXPECT_EQ(d.windowWidth, outer.right - outer.left);
            EXPECT_EQ(d.windowHeight, outer.bottom - outer.top);
            const RECT client = d.GetClientRect();
            const RECT start = d.startButton.GetRectInParent();
            EXPECT_EQ(client.right - start.left, offset);
            for (const CWnd* list : std::initializer_list<const CWnd*>{&d.configurationListBox, &d.listLabel,
                                                                       &d.stepsListBox, &d.messageListBox}) {
                const RECT rect = list->GetRectInParent();
                EXPECT_EQ(rect.left, client.right - rect.right) << "equal margins";
            }
            for (const CWnd* list : std::initializer_list<const CWnd*>{&d.stepsListBox, &d.messageListBox}) {
                EXPECT_EQ(client.bottom - list->GetRectInParent().bottom, bottom);
            }
            // It ends where the Start button begins, or is empty where that lies left of it.
            const RECT summary = d.portSettingsText.GetRectInParent();
            EXPECT_EQ(summary.right, std::max(summary.left, start.left));
            const RECT button = d.interfaceButton.GetRectInParent();
            EXPECT_TRUE(::EqualRect(&button, &labelBefore)) << "the Interface button is not moved";
        }
    });
}

// The stored outer size is restored when both values are positive. A size notification
// records the outer size, which is saved unless SaveOnExit is 0; a run without one writes back
// what it found, and nothing where nothing was stored. The framing values are only ever read.
TEST_F(MainDialog, SavesItsSizeAndRestoresItWithoutTouchingTheFraming) {
    constexpr SIZE kNone{0, 0};
    enum class After { kLastSize, kAsStored };
    struct Case {
        const char* name;
        int saveOnExit;
        std::optional<SIZE> stored; // none: no Width and no Height
        SIZE resizedTo;             // kNone: left as it came up
        bool restored;
        After after;
    } cases[] = {
        {"restored, resized, saved", 1, SIZE{520, 430}, {610, 470}, true, After::kLastSize},
        {"SaveOnExit 0", 0, SIZE{520, 430}, {610, 470}, true, After::kAsStored},
        {"restored, no resize", 1, SIZE{520, 430}, kNone, true, After::kAsStored},
        {"-5 stored: the template's size, -5 kept", 1, SIZE{-5, 430}, kNone, false, After::kAsStored},
        {"nothing stored, no resize: nothing written", 1, std::nullopt, kNone, false, After::kAsStored},
        {"0 stored: 0 kept", 1, SIZE{0, 0}, kNone, false, After::kAsStored},
        {"nothing stored, resized", 1, std::nullopt, {610, 470}, false, After::kLastSize},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemorySettingsStore store;
        store.WriteRegDword(kConfiguration, "SaveOnExit", c.saveOnExit);
        if (c.stored) {
            store.WriteRegDword(kConfiguration, "Width", c.stored->cx);
            store.WriteRegDword(kConfiguration, "Height", c.stored->cy);
        }
        const auto before = store.sections;
        RECT shown{}, last{};
        SIZE templateSize{};
        {
            DialogRun dialog(Interactive(), store);
            dialog.Run([&](DialogRun& d) {
                shown = d.GetWindowRect();
                if (c.resizedTo.cx != 0) {
                    ::SetWindowPos(d.m_hWnd, nullptr, 0, 0, c.resizedTo.cx, c.resizedTo.cy,
                                   SWP_NOMOVE | SWP_NOZORDER);
                }
                last = d.GetWindowRect();
            });
            templateSize = SIZE{dialog.widthAtInit, dialog.heightAtInit}; // the creation's notification
        }
        const SIZE onScreen{shown.right - shown.left, shown.bottom - shown.top};
        const SIZE expectedOnScreen = c.restored ? *c.stored : templateSize;
        EXPECT_EQ(onScreen.cx, expectedOnScreen.cx);
        EXPECT_EQ(onScreen.cy, expectedOnScreen.cy);
        auto& values = store.sections[kConfiguration];
        for (const char* name : {"Width", "Height"}) {
            if (c.after == After::kAsStored) {
                const auto& earlier = before.at(kConfiguration);
                EXPECT_EQ(values.count(name), earlier.count(name)) << name;
                if (earlier.count(name) != 0 && values.count(name) != 0) {
                    EXPECT_EQ(values.at(name).bytes, earlier.at(name).bytes) << name;
                }
            }
        }
        if (c.after == After::kLastSize) {
            EXPECT_EQ(store.ReadRegDword(kConfiguration, "Width", 0), last.right - last.left);
            EXPECT_EQ(store.ReadRegDword(kConfiguration, "Height", 0), last.bottom - last.top);
        }
        EXPECT_EQ(store.ReadRegString(kConfiguration, "COMPort", "-"), c.saveOnExit != 0 ? "COM1" : "-");
        for (const char* name : {"Parity", "Stopbits", "Datasize"}) {
            EXPECT_EQ(values.count(name), 0u) << name;
        }
    }
}

// --- The window's start and the close rules ---

TEST_F(MainDialog, StartsIdleWithItsSummaryWindowMenuAndIcon) {
    MemorySettingsStore store;
    DialogRun dialog(Interactive(), store);
    dialog.Run([](DialogRun& d) {
        EXPECT_EQ(d.portSettingsText.GetWindowText(), "COM1: 38400, 8N1");
        EXPECT_EQ(d.listLabel.GetWindowText(), "Steps scheduled for execution:");
        EXPECT_EQ(d.startButton.GetWindowText(), "Start &Transfer");
        EXPECT_TRUE(d.stepsListBox.IsWindowVisible());
        EXPECT_FALSE(d.MessagesView());
        HMENU menu = ::GetSystemMenu(d.m_hWnd, FALSE);
        const std::vector<std::string> texts = MenuTexts(menu);
        ASSERT_GE(texts.size(), 4u);
        EXPECT_EQ(texts[1], "Mi&nimize");
        EXPECT_EQ(::GetMenuItemID(menu, 1), static_cast<UINT>(SC_MINIMIZE));
        EXPECT_EQ(texts.back(), "&About Qarl...");
        EXPECT_EQ(::GetMenuItemID(menu, static_cast<int>(texts.size()) - 1), IDM_ABOUTBOX);
        EXPECT_EQ(::GetMenuState(menu, static_cast<UINT>(texts.size()) - 2, MF_BYPOSITION) & MF_SEPARATOR,
                  static_cast<UINT>(MF_SEPARATOR));
        ASSERT_NE(d.icon, nullptr);
        EXPECT_EQ(d.SendMessage(WM_GETICON, ICON_BIG), reinterpret_cast<LRESULT>(d.icon));
        EXPECT_EQ(d.SendMessage(WM_GETICON, ICON_SMALL), reinterpret_cast<LRESULT>(d.icon));
        EXPECT_EQ(d.SendMessage(WM_QUERYDRAGICON), reinterpret_cast<LRESULT>(d.icon));
    });
}

// Batch mode starts the transfer by itself only when AutoCloseManual is 0. With no
// configuration that start ends at once: its message goes to the log and the dialog closes.
TEST_F(MainDialog, StartsABatchRunByItselfOnlyWithAutoCloseManualZero) {
    for (int autoCloseManual : {0, 1, -1}) {
        SCOPED_TRACE(autoCloseManual);
        StartupValues startup = Interactive();
        startup.batchMode = true;
        startup.autoCloseManual = autoCloseManual;
        ::DeleteFileA(startup.logFile.c_str());
        MemorySettingsStore store;
        DialogRun dialog(startup, store);
        bool closedItself = false;
        dialog.Run(
            [&](DialogRun& d) { closedItself = PumpUntil([&] { return !d.IsWindowVisible(); }, 1500); });
        EXPECT_EQ(closedItself, autoCloseManual == 0);
        const std::string log = FileBytes(startup.logFile);
        if (autoCloseManual == 0) {
            EXPECT_NE(log.find("No configuration file selected!\r\n"), std::string::npos) << log;
        } else {
            EXPECT_EQ(log, "<none>");
        }
    }
}

// WM_CLOSE writes the log first, whether or not the close goes through; Escape and command
// 32773 never do.
TEST_F(MainDialog, ClosesThroughTheCloseCheckAndWritesTheLogOnlyOnWmClose) {
    struct Case {
        const char* how;
        UINT message;
        WPARAM wParam;
        bool logWritten;
    } cases[] = {
        {"WM_CLOSE", WM_CLOSE, 0, true},
        {"Escape", WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), false},
        {"command 32773", WM_COMMAND, MAKEWPARAM(ID_QARL_CLOSE, 0), false},
        {"Enter", WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        StartupValues startup = Interactive();
        ::DeleteFileA(startup.logFile.c_str());
        MemorySettingsStore store;
        DialogRun dialog(startup, store);
        bool ended = false;
        dialog.Run([&](DialogRun& d) {
            d.AddTraceLine("*** line");
            d.SendMessage(c.message, c.wParam);
            ended = PumpUntil([&] { return !d.IsWindowVisible(); }, 500);
        });
        EXPECT_EQ(ended, c.message == WM_CLOSE || LOWORD(c.wParam) != IDOK) << "Enter never ends the dialog";
        EXPECT_EQ(FileBytes(startup.logFile).find("*** line\r\n") != std::string::npos, c.logWritten);
    }
}

// A transfer that never ends (its device is silent and its messages go elsewhere): the view
// toggles, the steps list stays disabled, and a close is refused with message 136.
TEST_F(MainDialog, DuringATransferShowsTheStepsDisabledAndRefusesToClose) {
    StartupValues startup = Interactive();
    startup.configFile = OneStepConfiguration();
    ::DeleteFileA(startup.logFile.c_str());
    auto platform = std::make_shared<enginethreads::ThreadedEnginePlatform>();
    platform->AddFile(WorkFile("one.bin"), std::vector<uint8_t>(100, 0x80));
    MemorySettingsStore store;
    std::vector<std::string> boxes;
    {
        DialogRun dialog(startup, store, platform);
        std::set<HWND> answered;
        dialog.onWindow = [&](HWND box) {
            if (ClassOf(box) == "#32770" && answered.insert(box).second) {
                boxes.push_back(ProgramRun::BoxText(box) + " [" + BoxIconName(box) + "]");
                const int answer = ::GetDlgItem(box, IDNO) != nullptr ? IDNO : IDOK;
                ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0);
            }
        };
        dialog.Run([&](DialogRun& d) {
            const POINT label = Centre(d.listLabel.GetRectInParent());
            // No transfer yet: the steps list comes back enabled.
            d.SetDisplayMode(true);
            d.DoubleClick(label);
            EXPECT_TRUE(d.stepsListBox.IsWindowVisible() && ::IsWindowEnabled(d.stepsListBox.m_hWnd));
            d.Command(1009);
            ASSERT_TRUE(d.TransferRunning());
            EXPECT_TRUE(d.MessagesView());
            EXPECT_EQ(d.startButton.GetWindowText(), "Cancel");
            EXPECT_EQ(d.listLabel.GetWindowText(), "Messages:");
            EXPECT_FALSE(::IsWindowEnabled(d.configurationListBox.m_hWnd));
            EXPECT_FALSE(::IsWindowEnabled(d.interfaceButton.m_hWnd));
            struct Click {
                POINT at;
                bool messagesAfter;
            } clicks[] = {{label, false}, {POINT{label.x, label.y + 400}, false}, {label, true}};
            for (const Click& click : clicks) {
                d.DoubleClick(click.at);
                EXPECT_EQ(d.MessagesView(), click.messagesAfter);
                EXPECT_NE(d.stepsListBox.IsWindowVisible(), click.messagesAfter);
                EXPECT_FALSE(::IsWindowEnabled(d.stepsListBox.m_hWnd)) << "disabled during the transfer";
            }
            d.SendMessage(WM_CLOSE);
            EXPECT_TRUE(d.IsWindowVisible());
            EXPECT_NE(FileBytes(startup.logFile).find("*** Start Download\r\n"), std::string::npos);
            // The log is written once: a second close does not write it again.
            ::DeleteFileA(startup.logFile.c_str());
            d.SendMessage(WM_CLOSE);
            EXPECT_EQ(FileBytes(startup.logFile), "<none>");
            EXPECT_TRUE(d.TransferRunning());
            // The Cancel button asks with the question mark; No leaves the transfer running.
            d.Command(1009);
            EXPECT_TRUE(d.TransferRunning());
        });
    }
    const std::string refused = "Download is still in progress. Therefore, this program cannot terminate. "
                                "[exclamation]";
    EXPECT_EQ(boxes, (std::vector<std::string>{refused, refused, "Cancel Downloading? [question]"}));
}

// A box of the framework names the exclamation mark when its caller names no icon and its
// buttons are OK, OK/Cancel, Yes/No or Yes/No/Cancel; it is owned by the main dialog, which is
// disabled while the box waits.
TEST_F(MainDialog, FrameworkBoxesShowTheExclamationMarkUnlessTheyNameAnIcon) {
    struct Case {
        UINT type;
        int answer;
        const char* icon;
    } cases[] = {
        {MB_OK, IDOK, "exclamation"},
        {MB_OKCANCEL, IDCANCEL, "exclamation"},
        {MB_YESNO, IDNO, "exclamation"},
        {MB_YESNOCANCEL, IDYES, "exclamation"},
        {MB_RETRYCANCEL, IDCANCEL, "none"},
        {MB_ABORTRETRYIGNORE, IDIGNORE, "none"},
        {MB_CANCELTRYCONTINUE, IDCONTINUE, "none"},
        {MB_OK | MB_ICONINFORMATION, IDOK, "information"},
        {MB_YESNO | MB_ICONQUESTION, IDYES, "question"},
        {MB_OKCANCEL | MB_ICONSTOP, IDOK, "stop"},
    };
    MemorySettingsStore store;
    DialogRun dialog(Interactive(), store);
    struct Seen {
        std::string caption, icon;
        HWND owner = nullptr;
        bool mainEnabled = true;
    };
    std::vector<Seen> seen;
    std::set<HWND> answered;
    int answer = 0;
    dialog.onWindow = [&](HWND box) {
        if (ClassOf(box) == "#32770" && answered.insert(box).second) {
            seen.push_back({WindowText(box), BoxIconName(box), ::GetWindow(box, GW_OWNER),
                            ::IsWindowEnabled(dialog.m_hWnd) != FALSE});
            ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0);
        }
    };
    dialog.Run([&](DialogRun& d) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.type);
            seen.clear();
            answer = c.answer;
            EXPECT_EQ(AfxMessageBox("A box", c.type), c.answer);
            ASSERT_EQ(seen.size(), 1u);
            EXPECT_EQ(seen[0].icon, c.icon);
            EXPECT_EQ(seen[0].caption, "Tovrin");
            EXPECT_EQ(seen[0].owner, d.m_hWnd);
            EXPECT_FALSE(seen[0].mainEnabled);
            EXPECT_TRUE(::IsWindowEnabled(d.m_hWnd)) << "enabled again after the box";
        }
    });
}

const char kAboutCaption[] = "Info \xfc"
                             "ber Tovrin";

BOOL CALLBACK CountAboutBox(HWND window, LPARAM parameter) {
    *reinterpret_cast<int*>(parameter) += ::IsWindowVisible(window) && WindowText(window) == kAboutCaption;
    return TRUE;
}

int CountAboutBoxes() {
    int count = 0;
    ::EnumThreadWindows(::GetCurrentThreadId(), CountAboutBox, reinterpret_cast<LPARAM>(&count));
    return count;
}

// A right click as the user makes it, at a point of `target` that `cover` leaves free.
void RightClickBeside(HWND target, HWND cover) {
    RECT free{}, covered{};
    ::GetWindowRect(target, &free);
    ::GetWindowRect(cover, &covered);
    const POINT at{(free.right + std::max(free.left, covered.right)) / 2,
                   (free.bottom + std::max(free.top, covered.bottom)) / 2};
    ::SetCursorPos(at.x, at.y);
    INPUT clicks[2] = {};
    clicks[0].type = clicks[1].type = INPUT_MOUSE;
    clicks[0].mi.dwFlags = MOUSEEVENTF_RIGHTDOWN;
    clicks[1].mi.dwFlags = MOUSEEVENTF_RIGHTUP;
    ::SendInput(2, clicks, sizeof(INPUT));
}

// The About box names no parent: the main dialog owns it and is disabled while it runs, so a
// right click on the main dialog, which would ask for a second About box, reaches nothing.
TEST_F(MainDialog, TheAboutBoxIsModalToTheMainDialog) {
    MemorySettingsStore store;
    DialogRun dialog(Interactive(), store);
    dialog.openAbout = true;
    HWND main = nullptr, about = nullptr, owner = nullptr;
    bool mainEnabled = true;
    int boxesAfterClick = 0;
    DWORD clickedAt = 0;
    dialog.onWindow = [&](HWND window) {
        if (WindowText(window) != kAboutCaption) {
            return;
        }
        if (about == nullptr) {
            about = window;
            owner = ::GetWindow(window, GW_OWNER);
            mainEnabled = ::IsWindowEnabled(main) != FALSE;
            RightClickBeside(main, window);
            clickedAt = ::GetTickCount();
        } else if (::GetTickCount() - clickedAt > 500) {
            if (boxesAfterClick == 0) {
                boxesAfterClick = CountAboutBoxes();
            }
            ProgramRun::PressOk(window); // every About box that opened
        }
    };
    dialog.Run([&](DialogRun& d) {
        main = d.m_hWnd;
        d.SendMessage(WM_SYSCOMMAND, IDM_ABOUTBOX);
        EXPECT_TRUE(::IsWindowEnabled(d.m_hWnd)) << "enabled again after the box";
        EXPECT_EQ(CountAboutBoxes(), 0);
    });
    ASSERT_NE(about, nullptr) << "the About box did not open";
    EXPECT_EQ(owner, main);
    EXPECT_FALSE(mainEnabled);
    EXPECT_EQ(boxesAfterClick, 1);
    EXPECT_EQ(dialog.aboutRequests, 1) << "the right click reached the main dialog";
}

// --- The message list ---

TEST_F(MainDialog, KeepsAtMostTheLineLimitAndGrowsDeviceLinesInPlace) {
    struct Case {
        int limit;
        std::vector<std::string> before;
        bool update; // UpdateTraceLine, else AddTraceLine
        std::string text;
        std::vector<std::string> after;
    } cases[] = {
        {3, {"A", "B", "C"}, false, "D", {"B", "C", "D"}},
        {0, {"A", "B", "C"}, false, "D", {"A", "B", "C", "D"}},
        {-1, {"A", "B", "C"}, false, "D", {"A", "B", "C", "D"}},
        {2000, {"x", "AB"}, true, "ABC", {"x", "ABC"}},
        {2000, {"x", "AB"}, true, "A", {"x", "AB", "A"}},
        {2000, {"x", ""}, true, "Q", {"x", "Q"}},
        {2000, {}, true, "Q", {"Q"}},
        {3, {"A", "B", "CD"}, true, "CDE", {"A", "B", "CDE"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        MemorySettingsStore store;
        store.WriteRegDword(kConfiguration, "MaxTraceBoxLines", c.limit);
        DialogRun dialog(Interactive(), store);
        dialog.Run([&](DialogRun& d) {
            for (const std::string& line : c.before) {
                d.AddTraceLine(line);
            }
            if (c.update) {
                d.UpdateTraceLine(c.text);
            } else {
                d.AddTraceLine(c.text);
            }
            EXPECT_EQ(ListLines(d.messageListBox), c.after);
            EXPECT_EQ(d.messageListBox.GetCurSel(), LB_ERR) << "no line stays selected";
        });
    }
}

// Device lines are drawn in the trace colour, the program's own '*' lines in the normal one.
TEST_F(MainDialog, DrawsDeviceLinesInTheTraceColour) {
    StartupValues startup = Interactive();
    startup.deviceTraceColor = RGB(0, 0, 255);
    MemorySettingsStore store;
    DialogRun dialog(startup, store);
    dialog.Run([](DialogRun& d) {
        const std::vector<std::string> lines = {"*** Start Download", "READY 42", "*device star", "OK"};
        d.SetDisplayMode(true);
        for (const std::string& line : lines) {
            d.AddTraceLine(line);
        }
        const RECT client = d.messageListBox.GetClientRect();
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = client.right;
        info.bmiHeader.biHeight = -client.bottom; // top-down rows
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        void* bits = nullptr;
        HDC screen = ::GetDC(d.messageListBox.m_hWnd);
        HDC memory = ::CreateCompatibleDC(screen);
        HBITMAP bitmap = ::CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        HGDIOBJ old = ::SelectObject(memory, bitmap);
        d.messageListBox.SendMessage(WM_PRINTCLIENT, reinterpret_cast<WPARAM>(memory),
                                     PRF_CLIENT | PRF_ERASEBKGND);
        ::GdiFlush();
        const uint32_t* pixels = static_cast<const uint32_t*>(bits);
        for (size_t i = 0; i < lines.size(); ++i) {
            RECT item{};
            d.messageListBox.SendMessage(LB_GETITEMRECT, i, reinterpret_cast<LPARAM>(&item));
            int blue = 0, dark = 0;
            for (int y = item.top; y < item.bottom && y < client.bottom; ++y) {
                for (int x = 0; x < client.right; ++x) {
                    uint32_t p = pixels[y * client.right + x]; // 0x00RRGGBB
                    int r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
                    blue += b > r + 80 && b > g + 80;
                    dark += r < 100 && g < 100 && b < 100;
                }
            }
            const bool device = lines[i][0] != '*';
            EXPECT_EQ(blue > 0, device) << lines[i];
            EXPECT_EQ(dark > 0, !device) << lines[i];
        }
        ::SelectObject(memory, old);
        ::DeleteObject(bitmap);
        ::DeleteDC(memory);
        ::ReleaseDC(d.messageListBox.m_hWnd, screen);
    });
}

// --- The context menu, copy and save ---

TEST_F(MainDialog, OffersCopyAndSaveOnlyOnTheVisibleMessageList) {
    MemorySettingsStore store;
    DialogRun dialog(Interactive(), store);
    std::vector<std::vector<std::string>> menus;
    dialog.onWindow = [&menus](HWND window) {
        if (ClassOf(window) == "#32768") {
            menus.push_back(MenuTexts(reinterpret_cast<HMENU>(::SendMessageA(window, MN_GETHMENU, 0, 0))));
            ::EndMenu();
        }
    };
    dialog.Run([&menus](DialogRun& d) {
        struct Case {
            const char* where;
            bool messagesView;
            const CWnd* over;
            bool keyboard;
            bool menu; // else the About box
        } cases[] = {
            {"message list", true, &d.messageListBox, false, true},
            {"configuration list", true, &d.configurationListBox, false, false},
            {"dialog background", true, &d, false, false},
            {"steps view", false, &d.stepsListBox, false, false},
            {"keyboard", true, &d.messageListBox, true, false},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.where);
            d.SetDisplayMode(c.messagesView);
            menus.clear();
            d.aboutRequests = 0;
            RECT rect = c.over->GetWindowRect();
            POINT at = c.over == &d ? POINT{rect.left + 3, rect.bottom - 3} : Centre(rect);
            d.ContextMenu(c.over->m_hWnd, c.keyboard ? POINT{-1, -1} : at);
            Pump(100);
            using Menus = std::vector<std::vector<std::string>>;
            const Menus expected = c.menu ? Menus{{"&Copy", "&Save to file"}} : Menus{};
            EXPECT_EQ(menus, expected);
            EXPECT_EQ(d.aboutRequests, c.menu ? 0 : 1);
        }
    });
}

std::string ClipboardBytes(HWND owner, size_t size) {
    std::string bytes = "<none>";
    if (::OpenClipboard(owner)) {
        if (HANDLE data = ::GetClipboardData(CF_TEXT)) {
            const char* text = static_cast<const char*>(::GlobalLock(data));
            if (text != nullptr && ::GlobalSize(data) >= size) {
                bytes.assign(text, size);
            }
            ::GlobalUnlock(data);
        }
        ::CloseClipboard();
    }
    return bytes;
}

TEST_F(MainDialog, CopiesEveryLineWithCrLfAndANul) {
    struct Case {
        std::vector<std::string> lines;
        std::string bytes;
    } cases[] = {
        {{"a", "bc"}, std::string("a\r\nbc\r\n\0", 8)},
        {{}, std::string("\0", 1)},
        {{"*** Start Download", ""}, std::string("*** Start Download\r\n\r\n\0", 23)},
    };
    for (const Case& c : cases) {
        MemorySettingsStore store;
        DialogRun dialog(Interactive(), store);
        dialog.Run([&c](DialogRun& d) {
            for (const std::string& line : c.lines) {
                d.AddTraceLine(line);
            }
            d.Command(ID_TRACE_COPY, 0);
            EXPECT_EQ(ClipboardBytes(d.m_hWnd, c.bytes.size()), c.bytes);
        });
    }
}

// The Save As dialog is answered with a file name, or cancelled.
TEST_F(MainDialog, SavesTheLinesAsTheLogHoldsThem) {
    struct Case {
        const char* name;
        bool confirm;
        std::vector<std::string> lines;
        std::string bytes;
    } cases[] = {
        {"saved", true, {"*** Start Download", "OK"}, "*** Start Download\r\nOK\r\n"},
        {"empty", true, {}, ""},
        {"cancelled", false, {"x"}, "<none>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = WorkFile(std::string(c.name) + ".TXT");
        ::DeleteFileA(path.c_str());
        MemorySettingsStore store;
        DialogRun dialog(Interactive(), store);
        std::string title;
        std::set<HWND> answered;
        dialog.onWindow = [&](HWND box) {
            if (ClassOf(box) != "#32770" || !answered.insert(box).second) {
                return;
            }
            char text[128] = {};
            ::GetWindowTextA(box, text, sizeof text);
            title = text;
            if (c.confirm) {
                for (int id : {1148, 1152}) { // the file name field: combo box or edit control
                    ::SetDlgItemTextA(box, id, path.c_str());
                }
            }
            ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(c.confirm ? IDOK : IDCANCEL, BN_CLICKED), 0);
        };
        dialog.Run([&c](DialogRun& d) {
            for (const std::string& line : c.lines) {
                d.AddTraceLine(line);
            }
            d.Command(ID_TRACE_SAVE, 0);
        });
        EXPECT_EQ(title, "Textfilename");
        EXPECT_EQ(FileBytes(path), c.bytes);
    }
}

// --- An automation client's proxy ---

// The application's side of the proxy: the dialog it reaches and the lock count.
class ProxyHost : public IAutomationHost {
public:
    CQarlDlg* MainDialog() override { return dialog; }
    void LockApp() override { ++locks; }
    void UnlockApp() override { --locks; }
    CQarlDlg* dialog = nullptr;
    int locks = 0;
};

// The proxy and the dialog are tied both ways and let go of each other whichever ends first:
// a proxy that outlives its dialog never reaches it, and its release is safe.
TEST_F(MainDialog, AnAutomationProxyAndItsDialogLetGoOfEachOther) {
    for (bool dialogFirst : {true, false}) {
        SCOPED_TRACE(dialogFirst ? "the dialog ends first" : "the client releases first");
        MemorySettingsStore store;
        ProxyHost host;
        CQarlDlgAutoProxy* proxy = nullptr;
        {
            DialogRun dialog(Interactive(), store);
            host.dialog = &dialog;
            dialog.Run([&](DialogRun& d) {
                proxy = new CQarlDlgAutoProxy(host);
                proxy->AddRef();
                EXPECT_EQ(d.autoProxy, proxy);
                EXPECT_EQ(proxy->dialog, &d);
                EXPECT_EQ(host.locks, 1);
                // While the client holds it a close only hides the window.
                d.SendMessage(WM_CLOSE);
                EXPECT_FALSE(d.IsWindowVisible());
                EXPECT_FALSE(d.MayClose());
                if (!dialogFirst) {
                    proxy->Release();
                    proxy = nullptr;
                    EXPECT_EQ(d.autoProxy, nullptr);
                    EXPECT_TRUE(d.MayClose());
                }
            });
            host.dialog = nullptr;
        }
        if (proxy != nullptr) {
            EXPECT_EQ(proxy->dialog, nullptr) << "the dialog cleared the proxy's pointer";
            proxy->Release();
        }
        EXPECT_EQ(host.locks, 0);
    }
}

} // namespace
