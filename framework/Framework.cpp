#include "framework/Framework.h"

#include <commdlg.h>

#include <vector>

namespace {
// The one application object of the process (constructed statically, as the framework's is).
CWinApp* currentApp = nullptr;

// The dialog whose window the next window creation on this thread makes, and the hook that
// waits for it. A hook procedure has no parameter of its own: thread-local state is how Win32
// lets it find its dialog.
thread_local CDialog* dialogBeingCreated = nullptr;
thread_local HHOOK creationHook = nullptr;
const char kDialogProperty[] = "Tovrin.CDialog";

// Messages whose result a dialog procedure returns itself instead of through DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message) {
    switch (message) {
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
    case WM_INITDIALOG:
        return true;
    default:
        return false;
    }
}

void Unhook() {
    if (creationHook != nullptr) {
        ::UnhookWindowsHookEx(creationHook);
        creationHook = nullptr;
    }
    dialogBeingCreated = nullptr;
}
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

HINSTANCE AfxFindResourceHandle(LPCSTR name, LPCSTR type) {
    HINSTANCE resources = AfxGetResourceHandle();
    if (::FindResourceA(resources, name, type) != nullptr) {
        return resources;
    }
    CWinApp* app = AfxGetApp();
    return app != nullptr && app->m_hInstance != nullptr ? app->m_hInstance : ::GetModuleHandleA(nullptr);
}

std::string AfxLoadString(UINT id) {
    return LoadStringFrom(AfxGetResourceHandle(), id);
}

HWND AfxGetSafeOwner() {
    CWinApp* app = AfxGetApp();
    HWND main = app != nullptr ? app->m_hMainWnd : nullptr;
    if (main == nullptr || !::IsWindow(main)) {
        return nullptr;
    }
    // A box opened while a dialog is modal over the main window belongs above that dialog.
    HWND popup = ::GetLastActivePopup(main);
    return popup != nullptr ? popup : main;
}

namespace {
UINT WithDefaultIcon(UINT type) {
    if ((type & MB_ICONMASK) != 0) {
        return type;
    }
    switch (type & MB_TYPEMASK) {
    case MB_OK:
    case MB_OKCANCEL:
    case MB_YESNO:
    case MB_YESNOCANCEL:
        return type | MB_ICONEXCLAMATION;
    default:
        return type;
    }
}
} // namespace

int AfxMessageBox(const std::string& text, UINT type, UINT /*helpId*/) {
    CWinApp* app = AfxGetApp();
    const char* caption = app != nullptr ? app->m_pszAppName : "Tovrin";
    return ::MessageBoxA(AfxGetSafeOwner(), text.c_str(), caption, WithDefaultIcon(type));
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

RECT CWnd::GetWindowRect() const {
    RECT rect{};
    ::GetWindowRect(m_hWnd, &rect);
    return rect;
}

RECT CWnd::GetClientRect() const {
    RECT rect{};
    ::GetClientRect(m_hWnd, &rect);
    return rect;
}

RECT CWnd::GetRectInParent() const {
    RECT rect = GetWindowRect();
    ::MapWindowPoints(nullptr, ::GetParent(m_hWnd), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

void CWnd::MoveWindow(const RECT& rect) const {
    ::MoveWindow(m_hWnd, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, TRUE);
}

CMenu::~CMenu() {
    if (m_hMenu != nullptr) {
        ::DestroyMenu(m_hMenu);
    }
}

bool CMenu::LoadMenu(UINT id) {
    LPCSTR name = MAKEINTRESOURCEA(id);
    m_hMenu = ::LoadMenuA(AfxFindResourceHandle(name, MAKEINTRESOURCEA(4) /* RT_MENU */), name);
    return m_hMenu != nullptr;
}

bool ShowSaveFileDialog(HWND owner, const SaveFileOptions& options, std::string& path) {
    std::string filter; // text NUL pattern NUL ... NUL
    for (const auto& [text, pattern] : options.filters) {
        filter += text + '\0' + pattern + '\0';
    }
    filter += '\0';
    char file[MAX_PATH] = {};
    options.initialName.copy(file, MAX_PATH - 1);
    OPENFILENAMEA dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = filter.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file;
    dialog.nMaxFile = MAX_PATH;
    dialog.lpstrTitle = options.title.c_str();
    dialog.lpstrDefExt = options.defaultExtension.c_str();
    dialog.Flags = options.flags;
    if (!::GetSaveFileNameA(&dialog)) {
        return false;
    }
    path = file;
    return true;
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

namespace {
// An item's text of a list or combo box: its length first, then the text; LB_ERR and CB_ERR
// (both -1) for an index outside the list.
std::string ItemTextOf(const CWnd& control, UINT lengthMessage, UINT textMessage, int index) {
    LRESULT length = control.SendMessage(lengthMessage, static_cast<WPARAM>(index));
    if (length < 0) {
        return std::string();
    }
    std::vector<char> buffer(static_cast<size_t>(length) + 1, '\0');
    LRESULT copied =
        control.SendMessage(textMessage, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer.data()));
    return copied < 0 ? std::string() : std::string(buffer.data(), static_cast<size_t>(copied));
}
} // namespace

std::string CListBox::GetText(int index) const {
    return ItemTextOf(*this, LB_GETTEXTLEN, LB_GETTEXT, index);
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
    return ItemTextOf(*this, CB_GETLBTEXTLEN, CB_GETLBTEXT, index);
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
    initialised = false;
    dialogBeingCreated = this;
    creationHook = ::SetWindowsHookExA(WH_CBT, CreationHook, nullptr, ::GetCurrentThreadId());
    // The owner is decided now, not at construction: the main window may have come since.
    HWND owner = parent != nullptr ? parent : AfxGetSafeOwner();
    INT_PTR result = ::DialogBoxParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(templateId), owner,
                                       DialogProc, reinterpret_cast<LPARAM>(this));
    Unhook(); // the dialog could not be created
    return result;
}

// The first window that a dialog box creates is the dialog itself; its controls come later.
LRESULT CALLBACK CDialog::CreationHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND && dialogBeingCreated != nullptr) {
        CDialog* dialog = dialogBeingCreated;
        Unhook();
        dialog->Subclass(reinterpret_cast<HWND>(wParam));
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

void CDialog::Subclass(HWND window) {
    m_hWnd = window;
    ::SetPropA(window, kDialogProperty, this);
    originalProc = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(EarlyWindowProc)));
}

LRESULT CALLBACK CDialog::EarlyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    CDialog* dialog = static_cast<CDialog*>(::GetPropA(window, kDialogProperty));
    if (dialog == nullptr) {
        return ::DefDlgProcA(window, message, wParam, lParam);
    }
    WNDPROC original = dialog->originalProc;
    if (!dialog->initialised && message != WM_INITDIALOG) {
        LRESULT result = 0;
        if (dialog->OnMessage(message, wParam, lParam, result)) {
            return result;
        }
    }
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
        ::RemovePropA(window, kDialogProperty);
    }
    return ::CallWindowProcA(original, window, message, wParam, lParam);
}

// A main window that has gone is no longer the owner of anything.
void CDialog::ForgetWindow() {
    CWinApp* app = AfxGetApp();
    if (app != nullptr && app->m_hMainWnd == m_hWnd) {
        app->m_hMainWnd = nullptr;
    }
    m_hWnd = nullptr;
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
        dialog->initialised = true;
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
        dialog->ForgetWindow();
        ::SetWindowLongPtrA(window, DWLP_USER, 0);
    }
    if (!handled) {
        return FALSE;
    }
    if (ReturnsResultDirectly(message)) {
        return static_cast<INT_PTR>(result);
    }
    // A dialog procedure hands other message results back through DWLP_MSGRESULT.
    ::SetWindowLongPtrA(window, DWLP_MSGRESULT, result);
    return TRUE;
}
