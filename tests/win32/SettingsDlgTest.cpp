#include "ui/win32/SettingsDlg.h"
#include "app/win32/RegistrySettings.h"
#include "tests/win32/ModalScript.h"
#include "tests/win32/Win32TestSupport.h"
#include "ui/PortSummary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace {

using Names = std::vector<std::string>;
const char kCaption[] = "Settings"; // the English template
const Names kBaudTexts = {"9600", "14.400", "19.200", "38.400", "57.600", "115.200"};

class FakePorts : public IPortNameSource {
public:
    bool versionKnown = true;
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    Names dosDevices;
    Names serialMap;

    bool PlatformId(DWORD& id) override {
        id = platformId;
        return versionKnown;
    }
    Names DosDevicePorts() override { return dosDevices; }
    Names SerialMapPorts() override { return serialMap; }
};

// What the dialog showed when it opened, and the text of a box shown before it.
struct Shown {
    ComboState port;
    ComboState baud;
    std::string caption;
    std::string boxText;
};

// The dialog with the English library as the program's resources.
class SettingsDialog : public testing::Test {
protected:
    SettingsDialog() { app.m_hResource = english.Get(); }

    // Opens the dialog, lets `act` change it as the user would and ends it with the button.
    INT_PTR Run(
        CSettingsDlg& dialog, Shown& shown, int button, const std::function<void(HWND)>& act = [](HWND) {}) {
        ModalScript script({[&] {
            if (HWND box = FindThreadWindow("Tovrin")) {
                shown.boxText = ItemText(box, 0xFFFF);
                ClickButton(box, IDOK);
                return false;
            }
            HWND window = FindThreadWindow(kCaption);
            if (window == nullptr) {
                return false;
            }
            shown = {ReadCombo(::GetDlgItem(window, 1010)), ReadCombo(::GetDlgItem(window, 1011)),
                     WindowText(window), shown.boxText};
            act(window);
            ClickButton(window, button);
            return true;
        }});
        INT_PTR result = dialog.DoModal();
        EXPECT_TRUE(script.Finished());
        return result;
    }

    static void Prepare(CSettingsDlg& dialog, const std::string& port, int baudRate) {
        dialog.portName = port;
        dialog.baudRate = baudRate;
        dialog.parity = 2;
        dialog.stopBits = 1;
        dialog.dataSize = 7;
    }

    ResourceModule english{BinFolder() + "\\Tovrin1.DLL"};
    CWinApp app;
    FakePorts ports;
};

TEST_F(SettingsDialog, OffersTheSystemsPortsAndAlwaysTheCurrentOne) {
    const DWORD nt = VER_PLATFORM_WIN32_NT, windows = VER_PLATFORM_WIN32_WINDOWS, unknown = 99;
    struct Case {
        DWORD platformId; // `unknown`: GetVersionExA fails
        Names dosDevices, serialMap;
        const char* port;
        Names listed; // sorted by the combo box
        const char* shown;
        const char* afterOk; // OK without a new choice
    } cases[] = {
        {nt, {"COM3", "COM1"}, {"COM2"}, "COM7", {"COM1", "COM3", "COM7"}, "COM7", "COM7"},
        {nt, {"COM1", "COM3"}, {}, "COM3", {"COM1", "COM3"}, "COM3", "COM3"},
        {nt, {"COM1", "COM3"}, {}, "com1", {"COM1", "COM3"}, "", ""},
        {nt, {}, {}, "\\\\.\\COM12", {"\\\\.\\COM12"}, "\\\\.\\COM12", "\\\\.\\COM12"},
        {windows, {"COM1"}, {"COM4", "COM2"}, "COM9", {"COM2", "COM4", "COM9"}, "COM9", "COM9"},
        {VER_PLATFORM_WIN32s, {"COM1"}, {"COM2"}, "", {"COM2"}, "", ""},
        {unknown, {"COM1", "COM2"}, {"COM3"}, "COM5", {"COM5"}, "COM5", "COM5"},
    };
    for (const Case& c : cases) {
        ports.versionKnown = c.platformId != unknown;
        ports.platformId = c.platformId;
        ports.dosDevices = c.dosDevices;
        ports.serialMap = c.serialMap;
        CSettingsDlg dialog(nullptr, ports);
        Prepare(dialog, c.port, 38400);
        Shown shown;
        ASSERT_EQ(Run(dialog, shown, IDOK), IDOK) << c.port;
        EXPECT_EQ(shown.caption, kCaption);
        EXPECT_EQ(shown.port.items, c.listed) << c.port;
        EXPECT_EQ(shown.port.text, c.shown) << c.port;
        EXPECT_EQ(dialog.portName, c.afterOk) << c.port;
        EXPECT_EQ(shown.boxText, ports.versionKnown ? "" : "Failed to retrieve versioninfo");
    }
}

TEST_F(SettingsDialog, OffersTheSixRatesAndSelectsTheCurrentOne) {
    struct Case {
        int baudRate;
        int selection;
    } cases[] = {{9600, 0}, {14400, 1}, {19200, 2}, {38400, 3}, {57600, 4}, {115200, 5}, {4800, -1}, {0, -1}};
    for (const Case& c : cases) {
        CSettingsDlg dialog(nullptr, ports);
        Prepare(dialog, "COM1", c.baudRate);
        Shown shown;
        ASSERT_EQ(Run(dialog, shown, IDOK), IDOK);
        EXPECT_EQ(shown.baud.items, kBaudTexts);
        EXPECT_EQ(shown.baud.selection, c.selection) << c.baudRate;
        EXPECT_EQ(shown.baud.text, c.selection >= 0 ? kBaudTexts[static_cast<size_t>(c.selection)] : "");
        EXPECT_EQ(dialog.baudRate, c.baudRate) << "OK without a choice keeps the rate";
    }
}

TEST_F(SettingsDialog, OkTakesTheChoicesAndCancelNothing) {
    auto choose = [](int baudIndex, const char* typed) {
        return [=](HWND window) {
            ::SendMessageA(::GetDlgItem(window, 1011), CB_SETCURSEL, static_cast<WPARAM>(baudIndex), 0);
            if (typed != nullptr) {
                ::SetWindowTextA(::GetDlgItem(window, 1010), typed);
            }
        };
    };
    struct Case {
        int button;
        int baudIndex;
        const char* typed;
        const char* port;
        int baudRate;
        const char* summary;
    } cases[] = {
        {IDOK, 4, nullptr, "COM2", 57600, "COM2: 57600, 7E1,5"},
        {IDOK, 2, "\\\\.\\COM12", "\\\\.\\COM12", 19200, "\\\\.\\COM12: 19200, 7E1,5"},
        {IDOK, 5, "anything at all", "anything at all", 115200, "anything at all: 115200, 7E1,5"},
        {IDCANCEL, 4, "COM9", "COM2", 4800, "COM2: 4800, 7E1,5"},
    };
    for (const Case& c : cases) {
        ports.dosDevices = {"COM1", "COM2"};
        CSettingsDlg dialog(nullptr, ports);
        Prepare(dialog, "COM2", 4800);
        Shown shown;
        EXPECT_EQ(Run(dialog, shown, c.button, choose(c.baudIndex, c.typed)), c.button);
        EXPECT_EQ(dialog.portName, c.port);
        EXPECT_EQ(dialog.baudRate, c.baudRate);
        EXPECT_EQ(dialog.parity, 2);
        EXPECT_EQ(dialog.stopBits, 1);
        EXPECT_EQ(dialog.dataSize, 7);
        EXPECT_EQ(
            PortSummary(dialog.portName, dialog.baudRate, dialog.dataSize, dialog.parity, dialog.stopBits),
            c.summary);
    }
}

// The system's own sources under Wine, which reports COM1 (its /dev/ttyS0) and no COM7.
TEST_F(SettingsDialog, OffersCom7WhenTheSystemDoesNotReportIt) {
    Win32PortNameSource system;
    Names expected = system.DosDevicePorts();
    ASSERT_EQ(std::find(expected.begin(), expected.end(), "COM7"), expected.end());
    expected.push_back("COM7");
    std::sort(expected.begin(), expected.end());
    CSettingsDlg dialog;
    Prepare(dialog, "COM7", 38400);
    Shown shown;
    ASSERT_EQ(Run(dialog, shown, IDOK), IDOK);
    EXPECT_EQ(shown.port.items, expected);
    EXPECT_EQ(shown.port.text, "COM7");
    EXPECT_EQ(dialog.portName, "COM7");
}

TEST(SystemPorts, TheDosDevicesGiveOnlyComNames) {
    Win32PortNameSource system;
    DWORD platformId = 0;
    ASSERT_TRUE(system.PlatformId(platformId));
    EXPECT_EQ(platformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    const Names ports = system.DosDevicePorts();
    EXPECT_FALSE(ports.empty());
    for (const std::string& port : ports) {
        EXPECT_EQ(port.compare(0, 3, "COM"), 0) << port;
        char target[MAX_PATH] = {};
        EXPECT_NE(::QueryDosDeviceA(port.c_str(), target, MAX_PATH), 0u) << port;
    }
    // A buffer far too small grows until the whole list fits.
    EXPECT_EQ(Win32PortNameSource::DosDevicePortsFrom(16), ports);
}

// Another key stands for the serial map, in the 32-bit view as the program reads it. Values
// are named so that their order is the same by name and by creation.
TEST(SystemPorts, TheSerialMapGivesItsTextsUpToTheFirstThatDoesNotFit) {
    const char kMap[] = "Software\\TovrinTests\\SerialMap";
    struct Value {
        std::string name;
        DWORD type;
        std::string data; // a text's data without its zero
    };
    struct Case {
        std::vector<Value> values;
        Names expected;
    } cases[] = {
        {{}, {}}, // no key at all
        {{{"A0", REG_SZ, "COM3"},
          {"A1", REG_DWORD, std::string("\7\0\0\0", 4)},
          {"A2" + std::string(61, 'n'), REG_SZ, "COM1"}, // a name of 63 characters fits
          {"A3", REG_SZ, std::string(63, 'd')},          // 63 characters and the zero fit into 64
          {"A4", REG_SZ, std::string(64, 'x')},          // does not fit: the enumeration ends
          {"A5", REG_SZ, "COM8"}},
         {"COM3", "COM1", std::string(63, 'd')}},
        {{{"A0", REG_SZ, "COM3"}, {"A4" + std::string(62, 'z'), REG_SZ, "COM6"}, {"A5", REG_SZ, "COM8"}},
         {"COM3"}}, // nor does a name of 64 characters
    };
    RegKey software;
    ASSERT_EQ(software.Open(HKEY_LOCAL_MACHINE, "Software", KEY_ALL_ACCESS | KEY_WOW64_32KEY), ERROR_SUCCESS);
    for (const Case& c : cases) {
        ::RegDeleteTreeA(software.Get(), "TovrinTests");
        RegKey map;
        if (!c.values.empty()) {
            ASSERT_EQ(map.Create(HKEY_LOCAL_MACHINE, kMap, KEY_WRITE | KEY_WOW64_32KEY), ERROR_SUCCESS);
        }
        for (const Value& v : c.values) {
            DWORD size = static_cast<DWORD>(v.data.size() + (v.type == REG_SZ ? 1 : 0));
            ::RegSetValueExA(map.Get(), v.name.c_str(), 0, v.type,
                             reinterpret_cast<const BYTE*>(v.data.c_str()), size);
        }
        EXPECT_EQ(Win32PortNameSource::SerialMapPortsOf(HKEY_LOCAL_MACHINE, kMap), c.expected);
    }
    ::RegDeleteTreeA(software.Get(), "TovrinTests");
}

} // namespace
