#include "app/win32/AboutDlg.h"

#include "app/MessageIds.h"
#include "app/VersionText.h"
#include "app/win32/QarlApp.h"
#include "app/win32/RegistrySettings.h"
#include "app/win32/Win32Host.h"

#include <cstring>

namespace {

constexpr UINT IDD_ABOUTBOX = 100;
constexpr int IDC_VERSION = 1018;
constexpr int IDC_LEGAL_NOTICE = 1019;
constexpr int IDC_HOST_VERSION = 1020;
constexpr int IDC_LANGUAGE = 1021;
constexpr size_t kVersionTextLimit = 259; // a 260-character buffer with its zero

// A global memory block locked for as long as this lives.
class GlobalLockGuard {
public:
    explicit GlobalLockGuard(HGLOBAL memory) : memory(memory), data(::GlobalLock(memory)) {}
    ~GlobalLockGuard() {
        if (data != nullptr) {
            ::GlobalUnlock(memory);
        }
    }
    GlobalLockGuard(const GlobalLockGuard&) = delete;
    GlobalLockGuard& operator=(const GlobalLockGuard&) = delete;
    void* Data() const { return data; }

private:
    HGLOBAL memory;
    void* data;
};

// "\StringFileInfo\<language><code page>\<key>" from a translation entry: language in the
// low word, code page in the high word.
std::string StringValuePath(DWORD translation, const std::string& key) {
    return FormatText("\\StringFileInfo\\%04x%04x\\%s",
                      {unsigned(LOWORD(translation)), unsigned(HIWORD(translation)), key});
}

bool QueryString(void* block, DWORD translation, const std::string& key, const char*& value, UINT& length) {
    void* found = nullptr;
    if (!::VerQueryValueA(block, StringValuePath(translation, key).c_str(), &found, &length)) {
        return false;
    }
    value = static_cast<const char*>(found);
    return true;
}

bool FirstTranslation(void* block, DWORD& translation) {
    void* table = nullptr;
    UINT size = 0;
    if (!::VerQueryValueA(block, "\\VarFileInfo\\Translation", &table, &size) || size < sizeof translation) {
        return false;
    }
    std::memcpy(&translation, table, sizeof translation);
    return true;
}

} // namespace

// A block whose resource could not be read is freed rather than handed on half-filled.
GlobalBlock LoadVersionInfo(const std::string& path) {
    DWORD handle = 0;
    DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &handle);
    if (size == 0) {
        return GlobalBlock();
    }
    GlobalBlock block(::GlobalAlloc(GMEM_MOVEABLE, size));
    if (!block) {
        return block;
    }
    GlobalLockGuard lock(block.Get());
    if (lock.Data() == nullptr || !::GetFileVersionInfoA(path.c_str(), handle, size, lock.Data())) {
        return GlobalBlock();
    }
    return block;
}

std::string GetVersionString(const GlobalBlock& block, const std::string& key, DWORD translation) {
    if (!block) {
        return std::string();
    }
    GlobalLockGuard lock(block.Get());
    if (lock.Data() == nullptr) {
        return std::string();
    }
    const char* value = nullptr;
    UINT length = 0;
    bool found = translation != 0 && QueryString(lock.Data(), translation, key, value, length);
    if (!found) {
        DWORD first = 0;
        found = FirstTranslation(lock.Data(), first) && QueryString(lock.Data(), first, key, value, length);
    }
    if (!found || value == nullptr) {
        return std::string();
    }
    size_t copied = length < kVersionTextLimit ? length : kVersionTextLimit;
    return std::string(value, ::strnlen(value, copied));
}

std::string ProgramVersionPath() {
    const CWinApp* app = AfxGetApp();
    std::string path = std::string(app != nullptr ? app->m_pszExeName : "Tovrin") + ".EXE";
    MEMORY_BASIC_INFORMATION region{};
    if (::VirtualQuery(reinterpret_cast<const void*>(&ProgramVersionPath), &region, sizeof region) == 0) {
        return path;
    }
    char module[MAX_PATH] = {};
    DWORD length = ::GetModuleFileNameA(static_cast<HMODULE>(region.AllocationBase), module, MAX_PATH);
    if (length != 0 && length < MAX_PATH) { // a cut name is no name
        path.assign(module, length);
    }
    return path;
}

bool HostProductInstalled() {
    RegKey languages;
    return languages.Open(HKEY_LOCAL_MACHINE, std::string(Win32LanguageHost::kHostKey) + "\\Languages",
                          KEY_READ | KEY_WOW64_32KEY) == ERROR_SUCCESS;
}

CQarlAboutDlg::CQarlAboutDlg()
    : CQarlAboutDlg(GetQarlApp().m_strLanguageCode, GetQarlApp().m_nLanguage, GetQarlApp(),
                    ProgramVersionPath()) {}

CQarlAboutDlg::CQarlAboutDlg(const std::string& languageCode, int language, ISettingsStore& settings,
                             const std::string& versionPath)
    : CDialog(IDD_ABOUTBOX) {
    const ResourceCatalogue catalogue;
    m_strLanguage = catalogue.Format(IDS_LANGUAGE_LINE, {languageCode, language});
    const bool full = settings.RegSubKeyExists(settings::kDebug);
    const GlobalBlock block = LoadVersionInfo(versionPath);
    if (!block) {
        return; // only the language line has a text
    }
    const std::string internalName = GetVersionString(block, "InternalName");
    m_strLegalNotice = GetVersionString(block, "LegalCopyright");
    std::string productVersion = GetVersionString(block, "ProductVersion");
    ShortenVersion(productVersion, full);
    m_strHostVersion = catalogue.Format(
        HostProductInstalled() ? IDS_FOR_GANTRIVO : IDS_GANTRIVO_PRODUCT_VERSION, {productVersion});
    std::string fileVersion = GetVersionString(block, "FileVersion");
    ShortenVersion(fileVersion, full);
    m_strVersion = VersionLine(internalName, fileVersion);
}

void CQarlAboutDlg::DoDataExchange(bool save) {
    DDX_Text(save, IDC_LEGAL_NOTICE, m_strLegalNotice);
    DDX_Text(save, IDC_VERSION, m_strVersion);
    DDX_Text(save, IDC_LANGUAGE, m_strLanguage);
    DDX_Text(save, IDC_HOST_VERSION, m_strHostVersion);
}
