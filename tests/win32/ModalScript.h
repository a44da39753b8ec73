#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Drives the modal windows of this thread while a modal loop runs in it: a hidden window's
// timer hands each tick to the current step, and a step returns true when it is done. When
// the steps are not done within the time limit, every dialog of the thread is ended, so that
// a test fails instead of hanging.
class ModalScript {
public:
    using Step = std::function<bool()>;

    explicit ModalScript(std::vector<Step> steps, DWORD limitMs = 10000);
    ~ModalScript();
    ModalScript(const ModalScript&) = delete;
    ModalScript& operator=(const ModalScript&) = delete;

    bool Finished() const { return next == steps.size(); }
    bool TimedOut() const { return timedOut; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Tick();

    std::vector<Step> steps;
    size_t next = 0;
    DWORD deadline;
    bool timedOut = false;
    bool busy = false;
    HWND window = nullptr;
};

// A visible top-level window of this thread with the caption, or null.
HWND FindThreadWindow(const std::string& caption);
// The texts of a window and of a dialog's control.
std::string WindowText(HWND window);
std::string ItemText(HWND dialog, int id);
// Clicks a dialog's button as the user would.
void ClickButton(HWND dialog, int id);

// What a combo box shows: its list, its selection and its text.
struct ComboState {
    std::vector<std::string> items;
    int selection = -1;
    std::string text;
};
ComboState ReadCombo(HWND combo);
