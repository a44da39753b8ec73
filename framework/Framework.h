#pragma once

// The slice of an application framework that Tovrin uses, over plain Win32: the application
// object with its current resource module, message boxes, catalogue texts, a modal dialog
// base with one message handler, and thin control wrappers.

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    virtual BOOL InitInstance() { return FALSE; }
    virtual int ExitInstance() { return 0; }
    // The framework's start-up: InitInstance, and ExitInstance when it returns FALSE.
    int Run(HINSTANCE instance);

    HINSTANCE m_hInstance = nullptr;
    // Strings, dialogs, menus and icons come from here: the program or its language library.
    HINSTANCE m_hResource = nullptr;
    HWND m_hMainWnd = nullptr;
    const char* m_pszAppName = "Tovrin";
    const char* m_pszExeName = "Tovrin"; // the program file's name without its extension
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetResourceHandle();
void AfxSetResourceHandle(HINSTANCE module);

// A catalogue text from the current resource module; empty when the module lacks it.
std::string AfxLoadString(UINT id);
std::string LoadStringFrom(HINSTANCE module, UINT id);
// The module whose resources hold `name` of `type`: the current resource module (the language
// library when one is loaded) when it has it, else the program itself.
HINSTANCE AfxFindResourceHandle(LPCSTR name, LPCSTR type);
// The owner of a box or dialog that names no parent: the main window's last active pop-up (the
// main window itself, or the dialog that is modal over it), or null when there is no main window.
HWND AfxGetSafeOwner();
// A box with the program's name as caption, owned as above. A box that names no icon gets the
// exclamation mark when its buttons are OK, OK/Cancel, Yes/No or Yes/No/Cancel.
int AfxMessageBox(const std::string& text, UINT type = MB_OK, UINT helpId = 0);
int AfxMessageBox(UINT id, UINT type = MB_OK, UINT helpId = static_cast<UINT>(-1));

// A window that some other code created.
class CWnd {
public:
    virtual ~CWnd() = default;
    HWND m_hWnd = nullptr;

    void Attach(HWND window) { m_hWnd = window; }
    void SetWindowText(const std::string& text) const { ::SetWindowTextA(m_hWnd, text.c_str()); }
    std::string GetWindowText() const;
    void EnableWindow(bool enable) const { ::EnableWindow(m_hWnd, enable ? TRUE : FALSE); }
    void ShowWindow(int command) const { ::ShowWindow(m_hWnd, command); }
    bool IsWindowVisible() const { return ::IsWindowVisible(m_hWnd) != FALSE; }
    bool IsWindow() const { return m_hWnd != nullptr && ::IsWindow(m_hWnd) != FALSE; }
    bool IsIconic() const { return ::IsIconic(m_hWnd) != FALSE; }
    RECT GetWindowRect() const;
    RECT GetClientRect() const;
    // The window's rectangle in the client coordinates of its parent.
    RECT GetRectInParent() const;
    void MoveWindow(const RECT& rect) const;
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return ::SendMessageA(m_hWnd, message, wParam, lParam);
    }
};

class CStatic : public CWnd {};
class CButton : public CWnd {};

class CListBox : public CWnd {
public:
    int AddString(const std::string& text) const;
    int DeleteString(int index) const;
    int GetCount() const;
    std::string GetText(int index) const;
    void ResetContent() const { SendMessage(LB_RESETCONTENT); }
    int GetCurSel() const { return static_cast<int>(SendMessage(LB_GETCURSEL)); }
    int SetCurSel(int index) const {
        return static_cast<int>(SendMessage(LB_SETCURSEL, static_cast<WPARAM>(index)));
    }
    void* GetItemDataPtr(int index) const;
    void SetItemDataPtr(int index, void* data) const;
};

class CComboBox : public CWnd {
public:
    int AddString(const std::string& text) const;
    int FindStringExact(const std::string& text) const;
    int GetCount() const;
    int SetCurSel(int index) const {
        return static_cast<int>(SendMessage(CB_SETCURSEL, static_cast<WPARAM>(index)));
    }
    int GetCurSel() const { return static_cast<int>(SendMessage(CB_GETCURSEL)); }
    // The text of a list item; empty for an index outside the list.
    std::string GetLBText(int index) const;
};

// A menu. A loaded one is destroyed when it goes; the window menu and sub-menus are borrowed.
class CMenu {
public:
    CMenu() = default;
    ~CMenu();
    CMenu(const CMenu&) = delete;
    CMenu& operator=(const CMenu&) = delete;

    // Loads a menu resource from the module that holds it.
    bool LoadMenu(UINT id);
    HMENU GetSubMenu(int position) const {
        return m_hMenu != nullptr ? ::GetSubMenu(m_hMenu, position) : nullptr;
    }
    HMENU m_hMenu = nullptr;
};

// BeginPaint and EndPaint around one WM_PAINT.
class CPaintDC {
public:
    explicit CPaintDC(HWND window) : window(window) { m_hDC = ::BeginPaint(window, &m_ps); }
    ~CPaintDC() { ::EndPaint(window, &m_ps); }
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;
    HDC m_hDC;
    PAINTSTRUCT m_ps{};

private:
    HWND window;
};

// The clipboard, open for one window while this lives.
class ClipboardSession {
public:
    explicit ClipboardSession(HWND owner) : open(::OpenClipboard(owner) != FALSE) {}
    ~ClipboardSession() {
        if (open) {
            ::CloseClipboard();
        }
    }
    ClipboardSession(const ClipboardSession&) = delete;
    ClipboardSession& operator=(const ClipboardSession&) = delete;
    explicit operator bool() const { return open; }

private:
    bool open;
};

// A global memory block, freed when it goes unless it was handed on (to the clipboard).
class GlobalBlock {
public:
    GlobalBlock() = default;
    explicit GlobalBlock(HGLOBAL block) : block(block) {}
    ~GlobalBlock() { Reset(); }
    GlobalBlock(GlobalBlock&& other) noexcept : block(other.Release()) {}
    GlobalBlock& operator=(GlobalBlock&& other) noexcept {
        if (this != &other) {
            Reset();
            block = other.Release();
        }
        return *this;
    }
    GlobalBlock(const GlobalBlock&) = delete;
    GlobalBlock& operator=(const GlobalBlock&) = delete;
    HGLOBAL Get() const { return block; }
    HGLOBAL Release() { return std::exchange(block, nullptr); }
    void Reset() {
        if (block != nullptr) {
            ::GlobalFree(Release());
        }
    }
    explicit operator bool() const { return block != nullptr; }

private:
    HGLOBAL block = nullptr;
};

// The common Save As dialog.
struct SaveFileOptions {
    std::string title;
    std::vector<std::pair<std::string, std::string>> filters; // text, pattern; the first is selected
    std::string initialName;
    std::string defaultExtension;
    DWORD flags = 0;
};
// True, with the chosen path, when the user confirmed.
bool ShowSaveFileDialog(HWND owner, const SaveFileOptions& options, std::string& path);

// A modal dialog from a template of the current resource module; one that names no parent is
// owned by the main window (AfxGetSafeOwner), which is disabled while it runs. Messages reach OnMessage
// one at a time on the thread that runs DoModal, from the creation of the dialog's window on:
// those that arrive before WM_INITDIALOG as well.
class CDialog : public CWnd {
public:
    explicit CDialog(UINT templateId, HWND parent = nullptr) : templateId(templateId), parent(parent) {}
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    INT_PTR DoModal();
    void EndDialog(INT_PTR result) const { ::EndDialog(m_hWnd, result); }
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
    void DDX_Control(int id, CWnd& control) const { control.Attach(GetDlgItem(id)); }
    // A control's text and a member: into the control, or back into the member when saving.
    void DDX_Text(bool save, int id, std::string& value) const;
    // Runs the data exchange; the dialog initialisation fills the controls, OK saves them back.
    bool UpdateData(bool save) {
        DoDataExchange(save);
        return true;
    }

protected:
    virtual void DoDataExchange(bool /*save*/) {}
    virtual BOOL OnInitDialog() {
        UpdateData(false);
        return TRUE;
    }
    virtual void OnOK() {
        UpdateData(true);
        EndDialog(IDOK);
    }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    // The message map: return true when the message was handled, with its result.
    virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK CreationHook(int code, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK EarlyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Subclass(HWND window);
    void ForgetWindow();

    UINT templateId;
    HWND parent;
    // Until WM_INITDIALOG the dialog procedure is not in place: the window procedure is
    // subclassed from the window's creation so that messages of that time reach OnMessage.
    WNDPROC originalProc = nullptr;
    bool initialised = false;
};
