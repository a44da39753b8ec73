#include "tests/win32/ProgramRun.h"

#include "tests/win32/Win32TestSupport.h"

namespace {

struct Search {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindProcessWindow(HWND window, LPARAM parameter) {
    Search* search = reinterpret_cast<Search*>(parameter);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && ::IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK CollectStaticText(HWND child, LPARAM parameter) {
    char className[32] = {};
    ::GetClassNameA(child, className, sizeof className);
    if (lstrcmpiA(className, "Static") == 0) {
        char text[4096] = {};
        ::GetWindowTextA(child, text, sizeof text);
        if (text[0] != '\0') {
            *reinterpret_cast<std::string*>(parameter) += text;
        }
    }
    return TRUE;
}

} // namespace

ProgramRun::ProgramRun(const std::string& arguments, const std::string& workingDirectory,
                       const std::string& program) {
    std::string commandLine =
        "\"" + (program.empty() ? BinFolder() + "\\Tovrin.exe" : program) + "\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    if (!::CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                          workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup,
                          &process)) {
        process = PROCESS_INFORMATION{};
    }
}

ProgramRun::~ProgramRun() {
    if (process.hProcess != nullptr) {
        if (::WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
            ::TerminateProcess(process.hProcess, 99);
            ::WaitForSingleObject(process.hProcess, 5000);
        }
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
}

HWND ProgramRun::WaitForWindow(DWORD timeoutMs) const {
    DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < timeoutMs) {
        Search search{process.dwProcessId, nullptr};
        ::EnumWindows(FindProcessWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) {
            return search.found;
        }
        if (::WaitForSingleObject(process.hProcess, 50) != WAIT_TIMEOUT) {
            return nullptr; // ended without (another) window
        }
    }
    return nullptr;
}

bool ProgramRun::IsMainDialog(HWND window) {
    return ::GetDlgItem(window, 1025) != nullptr;
}

std::string ProgramRun::BoxText(HWND box) {
    std::string text;
    ::EnumChildWindows(box, CollectStaticText, reinterpret_cast<LPARAM>(&text));
    return text;
}

void ProgramRun::PressOk(HWND box) {
    ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
}

DWORD ProgramRun::WaitForExit(DWORD timeoutMs) const {
    if (::WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        return STILL_ACTIVE;
    }
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeProcess(process.hProcess, &code);
    return code;
}

BoxesSeen CollectBoxes(const std::string& arguments, const std::string& workingDirectory) {
    BoxesSeen seen;
    ProgramRun run(arguments, workingDirectory);
    if (!run.Started()) {
        return seen;
    }
    while (HWND window = run.WaitForWindow()) {
        if (ProgramRun::IsMainDialog(window)) {
            seen.mainDialogShown = true;
            break;
        }
        seen.texts.push_back(ProgramRun::BoxText(window));
        ProgramRun::PressOk(window);
        // Wait for this box to go before looking for the next one.
        for (int i = 0; i < 200 && ::IsWindow(window); ++i) {
            ::Sleep(25);
        }
    }
    seen.exitCode = run.WaitForExit(seen.mainDialogShown ? 0 : 20000);
    return seen;
}
