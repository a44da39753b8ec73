#include "app/win32/Automation.h"

#include "app/win32/AutomationIds.h"
#include "app/win32/RegistrySettings.h"

#include <memory>
#include <utility>
#include <vector>

namespace {

// The system's proxy for dispatch interfaces marshals calls of the dispatch interface.
constexpr char kDispatchProxyStub[] = "{00020420-0000-0000-C000-000000000046}";
constexpr char kInterfaceName[] = "IQarlApplication";

struct Entry {
    std::string key;  // below the classes root
    std::string name; // empty: the key's default value
    std::string value;
};

std::vector<Entry> RegistryEntries(const std::string& programPath) {
    const std::string clsid = std::string("CLSID\\") + kQarlClsidText;
    const std::string iid = std::string("Interface\\") + kQarlIidText;
    return {
        {kQarlProgId, "", kQarlProgId},
        {std::string(kQarlProgId) + "\\CLSID", "", kQarlClsidText},
        {clsid, "", kQarlProgId},
        {clsid + "\\LocalServer32", "", "\"" + programPath + "\" /Automation"},
        {clsid + "\\ProgID", "", kQarlProgId},
        {iid, "", kInterfaceName},
        {iid + "\\ProxyStubClsid32", "", kDispatchProxyStub},
    };
}

bool WriteEntries(HKEY root, const std::vector<Entry>& entries) {
    for (const Entry& entry : entries) {
        RegKey key;
        if (key.Create(root, entry.key, KEY_WRITE) != ERROR_SUCCESS ||
            ::RegSetValueExA(key.Get(), entry.name.empty() ? nullptr : entry.name.c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(entry.value.c_str()),
                             static_cast<DWORD>(entry.value.size() + 1)) != ERROR_SUCCESS) {
            return false;
        }
    }
    return true;
}

} // namespace

HRESULT STDMETHODCALLTYPE CQarlClassFactory::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *object = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE CQarlClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (outer != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    auto proxy = std::make_unique<CQarlDlgAutoProxy>(host);
    HRESULT result = proxy->QueryInterface(riid, object);
    if (SUCCEEDED(result)) {
        static_cast<void>(proxy.release()); // the client's reference owns it now
    }
    return result;
}

HRESULT STDMETHODCALLTYPE CQarlClassFactory::LockServer(BOOL lock) {
    if (lock) {
        host.LockApp();
    } else {
        host.UnlockApp();
    }
    return S_OK;
}

bool CQarlClassFactory::Register() {
    return SUCCEEDED(
        ::CoRegisterClassObject(CLSID_QarlApplication, this, CLSCTX_LOCAL_SERVER, REGCLS_SINGLEUSE, &cookie));
}

void CQarlClassFactory::Revoke() {
    if (cookie != 0) {
        ::CoRevokeClassObject(std::exchange(cookie, 0));
    }
}

bool UpdateAutomationRegistry(const std::string& programPath, HKEY classesRoot, HKEY userRoot) {
    const std::vector<Entry> entries = RegistryEntries(programPath);
    if (WriteEntries(classesRoot, entries)) {
        return true;
    }
    RegKey userClasses;
    return userClasses.Create(userRoot, "Software\\Classes", KEY_WRITE) == ERROR_SUCCESS &&
           WriteEntries(userClasses.Get(), entries);
}
