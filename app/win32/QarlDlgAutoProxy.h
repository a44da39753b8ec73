#pragma once

class CQarlDlg;

// The object an automation client holds: a proxy for the main dialog.
class CQarlDlgAutoProxy {
public:
    // The main dialog, or null once the dialog is gone.
    CQarlDlg* dialog = nullptr;
};
