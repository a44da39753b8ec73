#include "tests/win32/Win32TestSupport.h"

#include "app/CatalogueData.h"

std::string BinFolder() {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    return folder.substr(0, folder.rfind('\\'));
}

bool PumpUntil(const std::function<bool()>& done, DWORD limitMs) {
    DWORD start = ::GetTickCount();
    for (;;) {
        MSG message;
        while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&message);
            ::DispatchMessageA(&message);
        }
        if (done()) {
            return true;
        }
        DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= limitMs) {
            return false;
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, limitMs - elapsed < 20 ? limitMs - elapsed : 20,
                                    QS_ALLINPUT);
    }
}

namespace {
thread_local WindowWatcher* currentWatcher = nullptr;
} // namespace

WindowWatcher::WindowWatcher(HWND except, std::function<void(HWND)> seen)
    : except(except), seen(std::move(seen)), timer(::SetTimer(nullptr, 0, 50, Tick)) {
    currentWatcher = this;
}

WindowWatcher::~WindowWatcher() {
    ::KillTimer(nullptr, timer);
    currentWatcher = nullptr;
}

void CALLBACK WindowWatcher::Tick(HWND, UINT, UINT_PTR, DWORD) {
    if (currentWatcher != nullptr) {
        ::EnumThreadWindows(::GetCurrentThreadId(), Visit, reinterpret_cast<LPARAM>(currentWatcher));
    }
}

BOOL CALLBACK WindowWatcher::Visit(HWND window, LPARAM parameter) {
    WindowWatcher* watcher = reinterpret_cast<WindowWatcher*>(parameter);
    if (window != watcher->except && ::IsWindowVisible(window)) {
        watcher->seen(window);
    }
    return TRUE;
}

std::string ClassOf(HWND window) {
    char name[64] = {};
    ::GetClassNameA(window, name, sizeof name);
    return name;
}

std::string German(unsigned id) {
    for (unsigned i = 0; i < kCatalogueEntryCount; ++i) {
        if (kCatalogueEntries[i].id == id) {
            return kCatalogueEntries[i].german;
        }
    }
    return "<missing>";
}

namespace {
BOOL CALLBACK FindIconControl(HWND child, LPARAM parameter) {
    const LONG_PTR style = ::GetWindowLongPtrA(child, GWL_STYLE);
    if (ClassOf(child) == "Static" && (style & SS_TYPEMASK) == SS_ICON) {
        *reinterpret_cast<HWND*>(parameter) = child;
        return FALSE;
    }
    return TRUE;
}
} // namespace

HICON BoxIcon(HWND box) {
    HWND control = nullptr;
    ::EnumChildWindows(box, FindIconControl, reinterpret_cast<LPARAM>(&control));
    return control != nullptr ? reinterpret_cast<HICON>(::SendMessageA(control, STM_GETICON, 0, 0)) : nullptr;
}

std::string BoxIconName(HWND box) {
    const HICON shown = BoxIcon(box);
    if (shown == nullptr) {
        return "none";
    }
    // The system's icons are shared: the box shows the very handle that LoadIcon gives here.
    const std::pair<LPCSTR, const char*> known[] = {{IDI_EXCLAMATION, "exclamation"},
                                                    {IDI_QUESTION, "question"},
                                                    {IDI_ASTERISK, "information"},
                                                    {IDI_HAND, "stop"}};
    for (const auto& [id, name] : known) {
        if (::LoadIconA(nullptr, id) == shown) {
            return name;
        }
    }
    return "other";
}
