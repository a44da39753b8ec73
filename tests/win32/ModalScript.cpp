#include "tests/win32/ModalScript.h"

namespace {

constexpr UINT_PTR kTimerId = 1;
constexpr UINT kTickMs = 20;
const char kWindowClass[] = "TovrinModalScript";

struct Search {
    const std::string* caption;
    HWND found;
};

BOOL CALLBACK MatchCaption(HWND window, LPARAM param) {
    Search& search = *reinterpret_cast<Search*>(param);
    if (::IsWindowVisible(window) && WindowText(window) == *search.caption) {
        search.found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK EndDialogWindow(HWND window, LPARAM) {
    char className[16] = {};
    ::GetClassNameA(window, className, sizeof className);
    if (std::string(className) == "#32770") {
        ::PostMessageA(window, WM_CLOSE, 0, 0);
        ::EndDialog(window, IDABORT);
    }
    return TRUE;
}

} // namespace

ModalScript::ModalScript(std::vector<Step> steps, DWORD limitMs)
    : steps(std::move(steps)), deadline(::GetTickCount() + limitMs) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = ::GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kWindowClass;
    ::RegisterClassA(&windowClass); // fails harmlessly when it exists
    window = ::CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               windowClass.hInstance, nullptr);
    ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    ::SetTimer(window, kTimerId, kTickMs, nullptr);
}

ModalScript::~ModalScript() {
    ::KillTimer(window, kTimerId);
    ::DestroyWindow(window);
}

LRESULT CALLBACK ModalScript::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* script = reinterpret_cast<ModalScript*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
    if (message == WM_TIMER && script != nullptr) {
        script->Tick();
        return 0;
    }
    return ::DefWindowProcA(window, message, wParam, lParam);
}

void ModalScript::Tick() {
    if (Finished() || timedOut || busy) {
        return;
    }
    if (static_cast<LONG>(::GetTickCount() - deadline) > 0) {
        timedOut = true;
        ::EnumThreadWindows(::GetCurrentThreadId(), EndDialogWindow, 0);
        return;
    }
    // A step may run a modal loop of its own: it is not entered twice.
    busy = true;
    bool done = steps[next]();
    busy = false;
    if (done) {
        ++next;
    }
}

HWND FindThreadWindow(const std::string& caption) {
    Search search{&caption, nullptr};
    ::EnumThreadWindows(::GetCurrentThreadId(), MatchCaption, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string WindowText(HWND window) {
    char text[1024] = {};
    int length = ::GetWindowTextA(window, text, sizeof text);
    return std::string(text, static_cast<size_t>(length > 0 ? length : 0));
}

std::string ItemText(HWND dialog, int id) {
    return WindowText(::GetDlgItem(dialog, id));
}

void ClickButton(HWND dialog, int id) {
    ::SendMessageA(::GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

ComboState ReadCombo(HWND combo) {
    ComboState state;
    LRESULT count = ::SendMessageA(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        char item[256] = {};
        ::SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(item));
        state.items.emplace_back(item);
    }
    state.selection = static_cast<int>(::SendMessageA(combo, CB_GETCURSEL, 0, 0));
    state.text = WindowText(combo);
    return state;
}
