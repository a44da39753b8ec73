// A minimal local automation server of the tests, with nothing of Tovrin in it: one object per
// process with an empty dispatch interface, and the process ends when the object's last
// reference has gone and that release has returned to the client. It writes when the object
// was made and when it went, so that a client's hold can be measured against a server that
// certainly keeps its object as long as the client holds it.
//
//   MinimalServer.exe /Automation /Log <file>   (the automation system appends -Embedding)
#include "tests/win32/MinimalServerIds.h"

#include <windows.h>

#include <ole2.h>

#include <fstream>
#include <string>

namespace {

// Nothing waits for ever: a server that is never asked, or never released, ends after this.
constexpr UINT kLifetimeLimitMs = 120000;

// Events with the tick count, one a line; each line is on disk once written.
class EventLog {
public:
    explicit EventLog(const std::string& path) : file(path, std::ios::app) {}
    void Write(const char* event) {
        if (file) {
            file << event << ' ' << ::GetTickCount() << "\r\n" << std::flush;
        }
    }

private:
    std::ofstream file;
};

class MinimalObject final : public IDispatch {
public:
    explicit MinimalObject(EventLog& log) : log(log) { log.Write("created"); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
            *object = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    // The last release asks the loop to end; the loop ends after this call has been answered.
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references;
        if (left == 0) {
            log.Write("released");
            ::PostQuitMessage(0);
            delete this;
        }
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) {
            return E_INVALIDARG;
        }
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info != nullptr) {
            *info = nullptr;
        }
        return DISP_E_BADINDEX;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return DISP_E_MEMBERNOTFOUND;
    }

private:
    ~MinimalObject() = default;
    EventLog& log;
    ULONG references = 0;
};

// Lives on the stack of WinMain for the whole run; never deleted by a release.
class MinimalFactory final : public IClassFactory {
public:
    explicit MinimalFactory(EventLog& log) : log(log) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
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
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        auto* created = new MinimalObject(log);
        created->AddRef(); // held while it is handed out
        const HRESULT result = created->QueryInterface(riid, object);
        created->Release(); // the client's reference owns it now, or nothing does
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    EventLog& log;
};

// The value after /Log on the command line, or empty.
std::string LogPath(const char* commandLine) {
    const std::string line = commandLine;
    const size_t at = line.find("/Log ");
    if (at == std::string::npos) {
        return std::string();
    }
    const size_t start = line.find_first_not_of(' ', at + 5);
    if (start == std::string::npos) {
        return std::string();
    }
    if (line[start] == '"') {
        const size_t end = line.find('"', start + 1);
        return line.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
    }
    return line.substr(start, line.find(' ', start) - start);
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    EventLog log(LogPath(commandLine));
    if (FAILED(::CoInitialize(nullptr))) {
        return 1;
    }
    MinimalFactory factory(log);
    DWORD cookie = 0;
    if (FAILED(::CoRegisterClassObject(CLSID_TovrinTestsMinimal, &factory, CLSCTX_LOCAL_SERVER,
                                       REGCLS_SINGLEUSE, &cookie))) {
        ::CoUninitialize();
        return 1;
    }
    ::SetTimer(nullptr, 0, kLifetimeLimitMs, nullptr);
    MSG message;
    while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER && message.hwnd == nullptr) {
            log.Write("timed-out");
            break;
        }
        ::DispatchMessageA(&message);
    }
    ::CoRevokeClassObject(cookie);
    ::CoUninitialize();
    log.Write("ended");
    return 0;
}
