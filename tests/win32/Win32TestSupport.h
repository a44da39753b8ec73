#pragma once

#include "app/win32/RegistrySettings.h"

#include <windows.h>

#include <functional>
#include <string>

// The folder that holds the test program, Tovrin.exe and Tovrin1.DLL.
std::string BinFolder();

// Dispatches the thread's messages until `done` holds or the time is up; true when it held.
bool PumpUntil(const std::function<bool()>& done, DWORD limitMs);
inline void Pump(DWORD ms) {
    PumpUntil([] { return false; }, ms);
}

// Calls `seen` for each visible top-level window of the test's thread, other than `except`,
// every 50 ms while it lives: also inside the modal loops of message boxes, menus and common
// dialogs, which dispatch the thread's timers.
class WindowWatcher {
public:
    WindowWatcher(HWND except, std::function<void(HWND)> seen);
    ~WindowWatcher();
    WindowWatcher(const WindowWatcher&) = delete;
    WindowWatcher& operator=(const WindowWatcher&) = delete;

private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD);
    static BOOL CALLBACK Visit(HWND window, LPARAM parameter);
    HWND except;
    std::function<void(HWND)> seen;
    UINT_PTR timer;
};

// A kernel handle, closed when it goes.
class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE handle = nullptr) : handle(handle) {}
    ~OwnedHandle() { Reset(); }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    HANDLE Get() const { return handle; }
    void Reset(HANDLE other = nullptr) {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
        }
        handle = other;
    }
    explicit operator bool() const { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle;
};

// The class name of a window.
std::string ClassOf(HWND window);

// The icon that a message box shows in its icon control, or null (any process).
HICON BoxIcon(HWND box);
// The icon that a message box of this process shows, read from its icon control: "exclamation",
// "question", "information", "stop", "none" (no icon, or no icon control), or "other".
std::string BoxIconName(HWND box);

// A text of the program's built-in (German) catalogue.
std::string German(unsigned id);

// A module mapped as resources only, released when it goes.
class ResourceModule {
public:
    explicit ResourceModule(const std::string& path)
        : module(::LoadLibraryExA(path.c_str(), nullptr,
                                  LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE)) {}
    ~ResourceModule() {
        if (module != nullptr) {
            ::FreeLibrary(module);
        }
    }
    ResourceModule(const ResourceModule&) = delete;
    ResourceModule& operator=(const ResourceModule&) = delete;
    HMODULE Get() const { return module; }

private:
    HMODULE module;
};

// A registry key removed (with everything below it) when the test ends, in one registry view:
// the program's unless told otherwise.
class ScopedRegistryTree {
public:
    ScopedRegistryTree(HKEY root, std::string path, REGSAM view = kProgramView)
        : root(root), path(std::move(path)), view(view) {
        Remove();
    }
    ~ScopedRegistryTree() { Remove(); }
    ScopedRegistryTree(const ScopedRegistryTree&) = delete;
    ScopedRegistryTree& operator=(const ScopedRegistryTree&) = delete;
    void Remove() const {
        RegKey key;
        if (key.Open(root, path, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | view) ==
            ERROR_SUCCESS) {
            ::RegDeleteTreeA(key.Get(), nullptr);
        }
        key.Close();
        ::RegDeleteKeyExA(root, path.c_str(), view, 0);
    }

private:
    HKEY root;
    std::string path;
    REGSAM view;
};
