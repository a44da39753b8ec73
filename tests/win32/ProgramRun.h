#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Tovrin.exe started by a test, watched through its windows, and ended when the test ends.
class ProgramRun {
public:
    // Tovrin.exe beside the test program, or the program given.
    ProgramRun(const std::string& arguments, const std::string& workingDirectory = "",
               const std::string& program = "");
    ~ProgramRun();
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    bool Started() const { return process.hProcess != nullptr; }
    DWORD ProcessId() const { return process.dwProcessId; }
    // The next visible top-level window of the process, or null after the time limit.
    HWND WaitForWindow(DWORD timeoutMs = 20000) const;
    // True for the main dialog (it holds the configuration list).
    static bool IsMainDialog(HWND window);
    // The text of a message box (its non-empty static controls).
    static std::string BoxText(HWND box);
    static void PressOk(HWND box);
    // The exit code, or STILL_ACTIVE after the time limit.
    DWORD WaitForExit(DWORD timeoutMs = 20000) const;

private:
    PROCESS_INFORMATION process{};
};

// The message boxes a run shows until it ends, each answered with OK. Stops at the main dialog.
struct BoxesSeen {
    std::vector<std::string> texts;
    bool mainDialogShown = false;
    DWORD exitCode = STILL_ACTIVE;
};
BoxesSeen CollectBoxes(const std::string& arguments, const std::string& workingDirectory = "");
