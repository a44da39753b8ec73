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
