#pragma once

#include "app/win32/QarlDlgAutoProxy.h"

#include <string>

// The class object of "Qarl.Application": creates a CQarlDlgAutoProxy for each client. It
// lives as long as the application object that owns it and is never deleted by a release.
class CQarlClassFactory final : public IClassFactory {
public:
    explicit CQarlClassFactory(IAutomationHost& host) : host(host) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

    // Registered as running for a start by the automation system: one object per process, so
    // that every client gets a Tovrin of its own.
    bool Register();
    void Revoke();

private:
    IAutomationHost& host;
    DWORD cookie = 0;
};

// The registry entries of the class: the ProgID with its CLSID, and under the CLSID the local
// server (the program with the automation switch), the ProgID and the dispatch interface.
// Written below the classes root, or where that refuses the write, below the user's own
// classes (Software\Classes of the user's key). False when neither takes them.
bool UpdateAutomationRegistry(const std::string& programPath, HKEY classesRoot = HKEY_CLASSES_ROOT,
                              HKEY userRoot = HKEY_CURRENT_USER);
