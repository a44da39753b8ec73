#include "app/win32/QarlDlgAutoProxy.h"

#include "app/win32/AutomationIds.h"
#include "ui/win32/QarlDlg.h"

CQarlDlgAutoProxy::CQarlDlgAutoProxy(IAutomationHost& host) : host(host) {
    host.LockApp();
    dialog = host.MainDialog();
    if (dialog != nullptr) {
        dialog->autoProxy = this;
    }
}

CQarlDlgAutoProxy::~CQarlDlgAutoProxy() {
    // A dialog that went first has cleared `dialog`: it is never touched after its end.
    if (dialog != nullptr) {
        dialog->autoProxy = nullptr;
    }
    host.UnlockApp();
}

HRESULT STDMETHODCALLTYPE CQarlDlgAutoProxy::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, IID_IQarlApplication)) {
        *object = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CQarlDlgAutoProxy::AddRef() {
    return ++references;
}

ULONG STDMETHODCALLTYPE CQarlDlgAutoProxy::Release() {
    ULONG left = --references;
    if (left == 0) {
        delete this;
    }
    return left;
}

HRESULT STDMETHODCALLTYPE CQarlDlgAutoProxy::GetTypeInfoCount(UINT* count) {
    if (count == nullptr) {
        return E_INVALIDARG;
    }
    *count = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CQarlDlgAutoProxy::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info != nullptr) {
        *info = nullptr;
    }
    return DISP_E_BADINDEX;
}

HRESULT STDMETHODCALLTYPE CQarlDlgAutoProxy::GetIDsOfNames(REFIID riid, LPOLESTR*, UINT count, LCID,
                                                           DISPID* ids) {
    if (!IsEqualIID(riid, IID_NULL)) {
        return DISP_E_UNKNOWNINTERFACE;
    }
    for (UINT i = 0; ids != nullptr && i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
    }
    return DISP_E_UNKNOWNNAME;
}

HRESULT STDMETHODCALLTYPE CQarlDlgAutoProxy::Invoke(DISPID, REFIID riid, LCID, WORD, DISPPARAMS*, VARIANT*,
                                                    EXCEPINFO*, UINT*) {
    return IsEqualIID(riid, IID_NULL) ? DISP_E_MEMBERNOTFOUND : DISP_E_UNKNOWNINTERFACE;
}
