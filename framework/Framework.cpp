#include "framework/Framework.h"

#include <vector>

namespace {
// The one application object of the process (constructed statically, as the framework's is).
CWinApp* currentApp = nullptr;
} // namespace

CWinApp::CWinApp() {
    currentApp = this;
}

CWinApp::~CWinApp() {
    if (currentApp == this) {
        currentApp = nullptr;
    }
}

int CWinApp::Run(HINSTANCE instance) {
    m_hInstance = instance;
    if (m_hResource == nullptr) {
        m_hResource = instance;
    }
    // The program has no message loop of its own: its modal dialog is the loop, and
    // InitInstance returns when that dialog has ended.
    InitInstance();
    return ExitInstance();
}

CWinApp* AfxGetApp() {
    return currentApp;
}

HINSTANCE AfxGetResourceHandle() {
    if (currentApp != nullptr && currentApp->m_hResource != nullptr) {
        return currentApp->m_hResource;
    }
    return ::GetModuleHandleA(nullptr);
}

void AfxSetResourceHandle(HINSTANCE module) {
    if (currentApp != nullptr) {
        currentApp->m_hResource = module;
    }
}

std::string LoadStringFrom(HINSTANCE module, UINT id) {
    // LoadStringA converts the table's Unicode text to the ANSI code page.
    char buffer[4096];
    int length = ::LoadStringA(module, id, buffer, sizeof buffer);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

std::string AfxLoadString(UINT id) {
    return LoadStringFrom(AfxGetResourceHandle(), id);
}

int AfxMessageBox(const std::string& text, UINT type, UINT /*helpId*/) {
    CWinApp* app = AfxGetApp();
    HWND owner = app != nullptr ? app->m_hMainWnd : nullptr;
    if (owner != nullptr && !::IsWindow(owner)) {
        owner = nullptr;
    }
    const char* caption = app != nullptr ? app->m_pszAppName : "Tovrin";
    return ::MessageBoxA(owner, text.c_str(), caption, type);
}

int AfxMessageBox(UINT id, UINT type, UINT helpId) {
    return AfxMessageBox(AfxLoadString(id), type, helpId);
}

std::string CWnd::GetWindowText() const {
    int length = ::GetWindowTextLengthA(m_hWnd);
    std::vector<char> buffer(static_cast<size_t>(length > 0 ? length : 0) + 1, '\0');
    int copied = ::GetWindowTextA(m_hWnd, buffer.data(), static_cast<int>(buffer.size()));
    return std::string(buffer.data(), static_cast<size_t>(copied > 0 ? copied : 0));
}

int CListBox::AddString(const std::string& text) const {
    return static_cast<int>(SendMessage(LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
}

int CListBox::DeleteString(int index) const {
    return static_cast<int>(SendMessage(LB_DELETESTRING, static_cast<WPARAM>(index)));
}

int CListBox::GetCount() const {
    return static_cast<int>(SendMessage(LB_GETCOUNT));
}

std::string CListBox::GetText(int index) const {
    LRESULT length = SendMessage(LB_GETTEXTLEN, static_cast<WPARAM>(index));
    if (length == LB_ERR) {
        return std::string();
    }
    std::vector<char> buffer(static_cast<size_t>(length) + 1, '\0');
    LRESULT copied =
        SendMessage(LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer.data()));
    return copied == LB_ERR ? std::string() : std::string(buffer.data(), static_cast<size_t>(copied));
}

void* CListBox::GetItemDataPtr(int index) const {
    LRESULT data = SendMessage(LB_GETITEMDATA, static_cast<WPARAM>(index));
    return data == LB_ERR ? nullptr : reinterpret_cast<void*>(data);
}

void CListBox::SetItemDataPtr(int index, void* data) const {
    SendMessage(LB_SETITEMDATA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(data));
}

int CComboBox::AddString(const std::string& text) const {
    return static_cast<int>(SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
}

int CComboBox::FindStringExact(const std::string& text) const {
    return static_cast<int>(
        SendMessage(CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(text.c_str())));
}

int CComboBox::GetCount() const {
    return static_cast<int>(SendMessage(CB_GETCOUNT));
}

std::string CComboBox::GetLBText(int index) const {
    LRESULT length = SendMessage(CB_GETLBTEXTLEN, static_cast<WPARAM>(index));
    if (length == CB_ERR) {
        return std::string();
    }
    std::vector<char> buffer(static_cast<size_t>(length) + 1, '\0');
    LRESULT copied =
        SendMessage(CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer.data()));
    return copied == CB_ERR ? std::string() : std::string(buffer.data(), static_cast<size_t>(copied));
}

void CDialog::DDX_Text(bool save, int id, std::string& value) const {
    CWnd control;
    control.Attach(GetDlgItem(id));
    if (save) {
        value = control.GetWindowText();
    } else {
        control.SetWindowText(value);
    }
}

INT_PTR CDialog::DoModal() {
    return ::DialogBoxParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(templateId), parent, DialogProc,
                             reinterpret_cast<LPARAM>(this));
}

bool CDialog::OnMessage(UINT message, WPARAM wParam, LPARAM /*lParam*/, LRESULT& result) {
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        if (LOWORD(wParam) == IDOK) {
            OnOK();
            result = 0;
            return true;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            OnCancel();
            result = 0;
            return true;
        }
    }
    return false;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    CDialog* dialog = nullptr;
    if (message == WM_INITDIALOG) {
        dialog = reinterpret_cast<CDialog*>(lParam);
        dialog->m_hWnd = window;
        ::SetWindowLongPtrA(window, DWLP_USER, lParam);
        return dialog->OnInitDialog();
    }
    dialog = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(window, DWLP_USER));
    if (dialog == nullptr) {
        return FALSE;
    }
    LRESULT result = 0;
    bool handled = dialog->OnMessage(message, wParam, lParam, result);
    if (message == WM_NCDESTROY) {
        dialog->m_hWnd = nullptr;
        ::SetWindowLongPtrA(window, DWLP_USER, 0);
    }
    if (!handled) {
        return FALSE;
    }
    // A dialog procedure hands message results back through DWLP_MSGRESULT.
    ::SetWindowLongPtrA(window, DWLP_MSGRESULT, result);
    return TRUE;
}
