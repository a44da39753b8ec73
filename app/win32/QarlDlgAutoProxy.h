#pragma once

#include <windows.h>

#include <oaidl.h>

class CQarlDlg;

// Keeps the program running while a client holds an object: the application's lock.
class IAutomationHost {
public:
    virtual ~IAutomationHost() = default;
    // The running main dialog, or null.
    virtual CQarlDlg* MainDialog() = 0;
    virtual void LockApp() = 0;
    // The last unlock ends a program that was started for automation.
    virtual void UnlockApp() = 0;
};

// The object an automation client holds: a proxy for the main dialog with a dispatch
// interface that has no members. Creating it locks the application and ties it to the
// dialog both ways; the last release undoes both. It deletes itself on its last release, as
// every object of the automation system does.
class CQarlDlgAutoProxy final : public IDispatch {
public:
    explicit CQarlDlgAutoProxy(IAutomationHost& host);
    ~CQarlDlgAutoProxy();
    CQarlDlgAutoProxy(const CQarlDlgAutoProxy&) = delete;
    CQarlDlgAutoProxy& operator=(const CQarlDlgAutoProxy&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IDispatch: no type information, no names, no members.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID locale,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID riid, LCID locale, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override;

    // The main dialog, or null once the dialog is gone.
    CQarlDlg* dialog = nullptr;

private:
    IAutomationHost& host;
    ULONG references = 0;
};
