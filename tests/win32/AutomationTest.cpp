// The automation class from a client's side: Tovrin.exe as a local server under Wine.
#include "app/win32/Automation.h"
#include "app/win32/AutomationIds.h"
#include "tests/win32/MinimalServerIds.h"
#include "tests/win32/ProgramRun.h"
#include "tests/win32/Win32TestSupport.h"

#include <gtest/gtest.h>

#include <ole2.h>
#include <tlhelp32.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <set>
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
    OwnedHandle process;
    ~Served() {
        if (dispatch != nullptr) {
            dispatch->Release();
        }
        // A Tovrin that outlives its test would hold the test's output open, and the failure
        // would show only as the time-out of the whole suite.
        if (process && !Ended(0)) {
            ::TerminateProcess(process.Get(), 1);
            Ended(5000);
        }
    }
    void Release() {
        dispatch->Release();
        dispatch = nullptr;
    }
    // Waits with the thread's messages dispatched: a client in a single-threaded apartment must
    // not block without them, or whatever the server sends it on its way out waits for the wait.
    bool Ended(DWORD limitMs) const {
        return PumpUntil([this] { return ::WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0; },
                         limitMs);
    }
    // What the process was doing, for a failure: its window, and whether its thread answers.
    std::string State() const {
        if (Ended(0)) {
            return "it has ended";
        }
        DWORD_PTR answer = 0;
        const bool answers =
            ::SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &answer) != 0;
        return std::string("it runs, its window ") +
               (!::IsWindow(window)         ? "gone"
                : ::IsWindowVisible(window) ? "visible"
                                            : "hidden") +
               (answers ? ", its thread answering messages" : ", its thread not answering messages");
    }
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
    std::map<DWORD, HWND> fresh;
    PumpUntil(
        [&] {
            for (const auto& [process, window] : MainDialogs()) {
                if (before.count(process) == 0 && ::IsWindowVisible(window)) {
                    fresh[process] = window;
                }
            }
            return !fresh.empty();
        },
        kActivationMs);
    ASSERT_FALSE(fresh.empty()) << "no new Tovrin came up with its window";
    ASSERT_EQ(fresh.size(), 1u) << "more than one Tovrin came up for one object";
    std::tie(served.processId, served.window) = *fresh.begin();
    served.process.Reset(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, served.processId));
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
    EXPECT_TRUE(first.Ended(10000)) << first.State();
    second.Release();
    EXPECT_TRUE(second.Ended(10000)) << second.State();

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

namespace {

// --- A script of Windows Script Host as the client ---

// The script host running a script, its output read line by line as it comes. The host hands
// the script on to a process of its own: both are in a job that ends them with this object.
class ScriptRun {
public:
    explicit ScriptRun(const std::string& scriptPath) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE read = nullptr, write = nullptr;
        if (!::CreatePipe(&read, &write, &inherit, 0)) {
            return;
        }
        readEnd.Reset(read);
        OwnedHandle writeEnd(write);
        ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
        job.Reset(::CreateJobObjectA(nullptr, nullptr));
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        ::SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = write;
        std::string commandLine = "cscript.exe //nologo \"" + scriptPath + "\"";
        PROCESS_INFORMATION started{};
        if (::CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE,
                             CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &started)) {
            process.Reset(started.hProcess);
            ::AssignProcessToJobObject(job.Get(), started.hProcess);
            ::ResumeThread(started.hThread);
            ::CloseHandle(started.hThread);
        }
    }

    bool Started() const { return static_cast<bool>(process); }

    // The next line of output without its line end; nothing when the script ended first or the
    // time is up.
    std::optional<std::string> NextLine(DWORD limitMs) {
        const DWORD start = ::GetTickCount();
        for (;;) {
            const size_t end = pending.find('\n');
            if (end != std::string::npos) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
                return line;
            }
            DWORD available = 0;
            if (!::PeekNamedPipe(readEnd.Get(), nullptr, 0, nullptr, &available, nullptr)) {
                return std::nullopt; // the script host and its children have all gone
            }
            if (available > 0) {
                std::string chunk(available, '\0');
                DWORD read = 0;
                ::ReadFile(readEnd.Get(), &chunk[0], available, &read, nullptr);
                pending += chunk.substr(0, read);
            } else if (::GetTickCount() - start > limitMs) {
                return std::nullopt;
            } else {
                ::Sleep(20);
            }
        }
    }

    DWORD WaitForExit(DWORD limitMs) const {
        DWORD code = STILL_ACTIVE;
        if (::WaitForSingleObject(process.Get(), limitMs) == WAIT_OBJECT_0) {
            ::GetExitCodeProcess(process.Get(), &code);
        }
        return code;
    }

private:
    OwnedHandle job, process, readEnd;
    std::string pending;
};

std::string WorkFile(const std::string& name) {
    char folder[MAX_PATH] = {};
    ::GetCurrentDirectoryA(MAX_PATH, folder);
    return std::string(folder) + "\\" + name;
}

using HoldFor = std::string (*)(int seconds);

std::string SleepHold(int seconds) {
    return "WScript.Sleep " + std::to_string(seconds * 1000) + "\r\n";
}

// The seconds by the clock, without help from the host (Timer counts from midnight).
std::string TimerHold(int seconds) {
    return "t = Timer\r\n"
           "Do\r\n"
           "  e = Timer - t\r\n"
           "  If e < 0 Then e = e + 86400\r\n"
           "Loop While e < " +
           std::to_string(seconds) + "\r\n";
}

constexpr DWORD kHoldMs = 6000;

// The script of the report: create, hold six seconds, release; each step says its error
// number. "holding" comes a second before the hold ends, while the object is certainly still
// held (the release follows "held" at once). CR LF, as the script host reads it.
std::string HoldingScript(const std::string& progId, HoldFor hold) {
    return "On Error Resume Next\r\n"
           "Set o = CreateObject(\"" +
           progId +
           "\")\r\n"
           "WScript.Echo \"created \" & Err.Number\r\n" +
           hold(5) + "WScript.Echo \"holding \" & Err.Number\r\n" + hold(1) +
           "WScript.Echo \"held \" & Err.Number\r\n"
           "Err.Clear\r\n"
           "Set o = Nothing\r\n"
           "WScript.Echo \"released \" & Err.Number\r\n";
}

std::string WriteScript(const std::string& name, const std::string& text) {
    const std::string path = WorkFile(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// The tick counts of the minimal server's events ("created", "released", ...), by name.
std::map<std::string, DWORD> ServerEvents(const std::string& logPath) {
    std::map<std::string, DWORD> events;
    std::ifstream log(logPath);
    std::string name;
    DWORD tick = 0;
    while (log >> name >> tick) {
        events[name] = tick;
    }
    return events;
}

// The minimal server registered for the test's registry view, unregistered afterwards.
class MinimalServerClass {
public:
    explicit MinimalServerClass(const std::string& logPath) {
        const std::string server = "\"" + BinFolder() + "\\MinimalServer.exe\" /Log \"" + logPath + "\"";
        registered = Write(kMinimalProgId + std::string("\\CLSID"), kMinimalClsidText) &&
                     Write(clsidKey + "\\LocalServer32", server);
    }
    bool registered = false;

private:
    static bool Write(const std::string& path, const std::string& value) {
        RegKey key;
        return key.Create(HKEY_CLASSES_ROOT, path, KEY_WRITE) == ERROR_SUCCESS &&
               ::RegSetValueExA(key.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
    }
    const std::string clsidKey = std::string("CLSID\\") + kMinimalClsidText;
    ScopedRegistryTree progId{HKEY_CLASSES_ROOT, kMinimalProgId, 0};
    ScopedRegistryTree clsid{HKEY_CLASSES_ROOT, clsidKey, 0};
};

// Whether the script host waits in WScript.Sleep: the script of the report against the minimal
// server, which keeps its object exactly as long as the client holds it. Empty when it waits;
// else what was seen.
std::string ScriptHostSleepFault() {
    const std::string logPath = WorkFile("minimal.log");
    ::DeleteFileA(logPath.c_str());
    MinimalServerClass minimal(logPath);
    if (!minimal.registered) {
        return "the minimal server could not be registered";
    }
    ScriptRun run(WriteScript("sleep-probe.vbs", HoldingScript(kMinimalProgId, SleepHold)));
    std::vector<std::string> lines;
    while (std::optional<std::string> line = run.NextLine(30000)) {
        lines.push_back(*line);
    }
    run.WaitForExit(10000);
    const std::map<std::string, DWORD> events = ServerEvents(logPath);
    const bool timed = events.count("created") != 0 && events.count("released") != 0;
    const DWORD heldMs = timed ? events.at("released") - events.at("created") : 0;
    if (timed && heldMs + 500 >= kHoldMs && lines.size() > 2 && lines[2] == "held 0") {
        return std::string();
    }
    std::string said;
    for (const std::string& line : lines) {
        said += (said.empty() ? "" : ", ") + line;
    }
    return "WScript.Sleep of this script host did not wait: the script of the report against the tests' "
           "minimal server printed \"" +
           said + "\", and the server held its object " +
           (timed ? std::to_string(heldMs) + " ms" : "not at all") + " of " + std::to_string(kHoldMs) +
           ". (Wine 8.0's wscript answers WScript.Sleep with E_NOTIMPL at once, VBScript error 445; the "
           "script "
           "then releases the object.) See the README's section on automation.";
}

// The Tovrin processes that run now.
std::set<DWORD> TovrinProcesses() {
    std::set<DWORD> found;
    OwnedHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32First(snapshot.Get(), &entry); more;
         more = ::Process32Next(snapshot.Get(), &entry)) {
        if (lstrcmpiA(entry.szExeFile, "Tovrin.exe") == 0) {
            found.insert(entry.th32ProcessID);
        }
    }
    return found;
}

// How a process that has ended ended: its exit code and how long it ran.
std::string EndOf(HANDLE process) {
    DWORD code = 0;
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!::GetExitCodeProcess(process, &code) ||
        !::GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return "unknown";
    }
    const auto ticks = [](const FILETIME& time) {
        return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return "exit code " + std::to_string(code) + " after " +
           std::to_string((ticks(exited) - ticks(created)) / 10000) + " ms";
}

// The Tovrin that came up since `before`, opened to wait for its end.
HANDLE NewTovrin(const std::set<DWORD>& before, DWORD limitMs) {
    const DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < limitMs) {
        for (DWORD id : TovrinProcesses()) {
            if (before.count(id) == 0) {
                return ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
            }
        }
        ::Sleep(50);
    }
    return nullptr;
}

struct ScriptHold {
    const char* name;
    HoldFor hold;
    bool needsHostSleep; // WScript.Sleep of the script host
};

void PrintTo(const ScriptHold& hold, std::ostream* out) {
    *out << hold.name;
}

class ScriptClient : public testing::TestWithParam<ScriptHold> {};

// A script creates the object, holds it six seconds and lets it go: Tovrin runs as long as
// the script holds it, the release succeeds, and Tovrin has ended a few seconds later.
TEST_P(ScriptClient, HoldsTheObjectAndReleasesIt) {
    const ScriptHold& row = GetParam();
    if (row.needsHostSleep) {
        const std::string fault = ScriptHostSleepFault();
        if (!fault.empty()) {
            GTEST_SKIP() << fault;
        }
    }
    ASSERT_TRUE(UpdateAutomationRegistry(BinFolder() + "\\Tovrin.exe"));
    const std::set<DWORD> before = TovrinProcesses();
    ScriptRun run(WriteScript(std::string(row.name) + ".vbs", HoldingScript(kQarlProgId, row.hold)));
    ASSERT_TRUE(run.Started()) << "no script host (cscript.exe)";
    EXPECT_EQ(run.NextLine(kActivationMs).value_or("<nothing>"), "created 0");
    const DWORD createdAt = ::GetTickCount();
    OwnedHandle tovrin(NewTovrin(before, 10000));
    ASSERT_TRUE(tovrin) << "no Tovrin came up for the script";
    EXPECT_EQ(run.NextLine(kHoldMs + 20000).value_or("<nothing>"), "holding 0");
    EXPECT_EQ(::WaitForSingleObject(tovrin.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "Tovrin ended while the script held the object: " << EndOf(tovrin.Get());
    EXPECT_EQ(run.NextLine(10000).value_or("<nothing>"), "held 0");
    const DWORD heldMs = ::GetTickCount() - createdAt;
    EXPECT_GE(heldMs + 500, kHoldMs) << "the script did not hold the object";
    EXPECT_EQ(run.NextLine(10000).value_or("<nothing>"), "released 0");
    EXPECT_EQ(::WaitForSingleObject(tovrin.Get(), 5000), static_cast<DWORD>(WAIT_OBJECT_0))
        << "Tovrin still runs after the release";
    EXPECT_EQ(run.WaitForExit(10000), 0u);
}

INSTANTIATE_TEST_SUITE_P(Hold, ScriptClient,
                         testing::Values(ScriptHold{"WScriptSleep", SleepHold, true},
                                         ScriptHold{"TimerLoop", TimerHold, false}),
                         [](const testing::TestParamInfo<ScriptHold>& info) { return info.param.name; });

} // namespace
