#pragma once

// The slice of an application framework that Tovrin uses, over plain Win32: the application
// object with its current resource module, message boxes, catalogue texts, a modal dialog
// base with one message handler, and thin control wrappers.

#include <windows.h>

#include <string>

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
// A box with the program's name as caption, owned by the main window when there is one.
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

// A modal dialog from a template of the current resource module. Messages reach OnMessage
// one at a time on the thread that runs DoModal.
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

    UINT templateId;
    HWND parent;
};
