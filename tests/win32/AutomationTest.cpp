// The automation class from a client's side: Tovrin.exe as a local server under Wine.
#include "app/win32/Automation.h"
#include "app/win32/AutomationIds.h"
#include "tests/win32/ProgramRun.h"
#include "tests/win32/Win32TestSupport.h"

#include <gtest/gtest.h>

#include <ole2.h>

#include <map>
#include <tuple>

namespace {

constexpr DWORD kActivationMs = 30000; // an activation takes about a second under Wine

BOOL CALLBACK CollectMainDialog(HWND window, LPARAM parameter) {
    if (ProgramRun::IsMainDialog(window)) {
        DWORD process = 0;
        ::GetWindowThreadProcessId(window, &process);
        (*reinterpret_cast<std::map<DWORD, HWND>*>(parameter))[process] = window;
    }
    return TRUE;
}

// The main dialogs of the running Tovrin processes, by process.
std::map<DWORD, HWND> MainDialogs() {
    std::map<DWORD, HWND> found;
    ::EnumWindows(CollectMainDialog, reinterpret_cast<LPARAM>(&found));
    return found;
}

class ComApartment {
public:
    ComApartment() { ::CoInitialize(nullptr); }
    ~ComApartment() { ::CoUninitialize(); }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
};

// One object a client holds, and the process that serves it.
struct Served {
    IDispatch* dispatch = nullptr;
    DWORD processId = 0;
    HWND window = nullptr;
    HANDLE process = nullptr;
    ~Served() {
        if (dispatch != nullptr) {
            dispatch->Release();
        }
        if (process != nullptr) {
            ::CloseHandle(process);
        }
    }
    void Release() {
        dispatch->Release();
        dispatch = nullptr;
    }
    bool Ended(DWORD limitMs) const { return ::WaitForSingleObject(process, limitMs) == WAIT_OBJECT_0; }
};

// Creates an object by its ProgID and finds the Tovrin that came up for it.
void Create(Served& served) {
    const std::map<DWORD, HWND> before = MainDialogs();
    CLSID clsid{};
    ASSERT_EQ(::CLSIDFromProgID(L"Qarl.Application", &clsid), S_OK);
    EXPECT_TRUE(::IsEqualCLSID(clsid, CLSID_QarlApplication));
    ASSERT_EQ(::CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                 reinterpret_cast<void**>(&served.dispatch)),
              S_OK);
    DWORD start = ::GetTickCount();
    while (served.window == nullptr && ::GetTickCount() - start < kActivationMs) {
        for (const auto& [process, window] : MainDialogs()) {
            if (before.count(process) == 0 && ::IsWindowVisible(window)) {
                served.processId = process;
                served.window = window;
            }
        }
        ::Sleep(50);
    }
    ASSERT_NE(served.window, nullptr) << "no new Tovrin came up with its window";
    served.process = ::OpenProcess(SYNCHRONIZE, FALSE, served.processId);
}

TEST(Automation, EveryClientGetsATovrinOfItsOwnThatEndsWithItsRelease) {
    // A copy the user started: it refreshes the registration and is never handed an object.
    ProgramRun user("");
    HWND userWindow = user.WaitForWindow();
    ASSERT_TRUE(userWindow != nullptr && ProgramRun::IsMainDialog(userWindow));
    ComApartment com;

    Served first;
    ASSERT_NO_FATAL_FAILURE(Create(first));
    EXPECT_NE(first.processId, user.ProcessId());
    IDispatch* again = nullptr;
    ASSERT_EQ(first.dispatch->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&again)), S_OK);
    again->Release();
    UINT typeInfos = 99;
    EXPECT_EQ(first.dispatch->GetTypeInfoCount(&typeInfos), S_OK);
    EXPECT_EQ(typeInfos, 0u);
    LPOLESTR name = const_cast<LPOLESTR>(L"Start");
    DISPID id = 0;
    EXPECT_EQ(first.dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id),
              DISP_E_UNKNOWNNAME);
    DISPPARAMS none{};
    EXPECT_EQ(first.dispatch->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr,
                                     nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);

    Served second;
    ASSERT_NO_FATAL_FAILURE(Create(second));
    EXPECT_NE(second.processId, first.processId);
    EXPECT_NE(second.processId, user.ProcessId());

    // Closing the window of a held object only hides it; the release ends the process.
    ::PostMessageA(first.window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(PumpUntil([&] { return !::IsWindowVisible(first.window); }, 5000));
    EXPECT_FALSE(first.Ended(1000)) << "the process stays while the client holds the object";
    first.Release();
    EXPECT_TRUE(first.Ended(10000));
    second.Release();
    EXPECT_TRUE(second.Ended(10000));

    EXPECT_EQ(user.WaitForExit(0), static_cast<DWORD>(STILL_ACTIVE)) << "the user's copy runs on";
    EXPECT_TRUE(::IsWindowVisible(userWindow));
    ::PostMessageA(userWindow, WM_CLOSE, 0, 0);
    EXPECT_EQ(user.WaitForExit(), 0u);
}

std::string UserText(const std::string& path) {
    char text[MAX_PATH] = {};
    DWORD size = sizeof text;
    return ::RegGetValueA(HKEY_CURRENT_USER, path.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, text, &size) ==
                   ERROR_SUCCESS
               ? text
               : "";
}

// Two keys of the user stand for the classes root and the user's key; a key deleted while it
// is open refuses every write below it.
TEST(Automation, RegistersBelowTheUsersClassesWhereTheClassesRootRefuses) {
    const std::string test = "Software\\TovrinTests\\Registration";
    const char* const kClasses = "Classes";
    const char* const kUserClasses = "User\\Software\\Classes";
    struct Case {
        bool classesWritable, userWritable;
        bool registered;
        const char* holder; // the key below the test's that holds the entries
    } cases[] = {
        {true, true, true, kClasses},
        {false, true, true, kUserClasses},
        {false, false, false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.holder != nullptr ? c.holder : "nowhere");
        ScopedRegistryTree cleanup{HKEY_CURRENT_USER, test};
        RegKey classes, user;
        for (auto [key, name, writable] :
             {std::tuple{&classes, kClasses, c.classesWritable}, std::tuple{&user, "User", c.userWritable}}) {
            const std::string path = test + "\\" + name;
            ASSERT_EQ(key->Create(HKEY_CURRENT_USER, path, KEY_ALL_ACCESS), ERROR_SUCCESS);
            if (!writable) {
                ASSERT_EQ(::RegDeleteKeyA(HKEY_CURRENT_USER, path.c_str()), ERROR_SUCCESS);
            }
        }
        EXPECT_EQ(UpdateAutomationRegistry("C:\\Tools\\Tovrin.exe", classes.Get(), user.Get()), c.registered);
        for (const char* below : {kClasses, kUserClasses}) {
            const bool held = below == c.holder;
            const std::string clsid = test + "\\" + below + "\\CLSID\\" + kQarlClsidText;
            EXPECT_EQ(UserText(test + "\\" + below + "\\Qarl.Application\\CLSID"), held ? kQarlClsidText : "")
                << below;
            EXPECT_EQ(UserText(clsid + "\\LocalServer32"),
                      held ? "\"C:\\Tools\\Tovrin.exe\" /Automation" : "")
                << below;
        }
    }
}

} // namespace
