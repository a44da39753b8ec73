#include "ui/win32/QarlDlg.h"

#include "app/MessageIds.h"
#include "app/win32/AboutDlg.h"
#include "app/win32/QarlDlgAutoProxy.h"
#include "config/win32/Win32Catalogue.h"
#include "ui/PortSummary.h"
#include "ui/win32/SettingsDlg.h"

#include <io.h>
#include <windowsx.h>

#include <initializer_list>

namespace {

constexpr int IDC_MESSAGES = 1005;
constexpr int IDC_STEPS = 1006;
constexpr int IDC_START = 1009;
constexpr int IDC_PORT_SETTINGS = 1015;
constexpr int IDC_INTERFACE = 1024;
constexpr int IDC_CONFIGURATIONS = 1025;
constexpr int IDC_LIST_LABEL = 1026;
constexpr UINT IDR_MAINFRAME = 128;
// The catalogue's only item when the program's folder holds no configuration; the same text
// in every language.
constexpr char kNoConfigurations[] = "<no configurationfiles found>";

int Width(const RECT& rect) {
    return rect.right - rect.left;
}

int Height(const RECT& rect) {
    return rect.bottom - rect.top;
}

// A control keeps its left and top edges and takes the new size (never a negative one).
void Resize(const CWnd& control, int width, int height) {
    RECT rect = control.GetRectInParent();
    rect.right = rect.left + (width > 0 ? width : 0);
    rect.bottom = rect.top + (height > 0 ? height : 0);
    control.MoveWindow(rect);
}

} // namespace

CQarlDlg::CQarlDlg(const StartupValues& startup, ISettingsStore& settings, IProfileReader& profile,
                   std::shared_ptr<IEnginePlatform> platform)
    : CDialog(102), startupMessage(startup.startupMessage), startup(startup),
      settings(settings), context{profile, files, catalogue}, platform(std::move(platform)) {
    using settings::kConfiguration;
    messageListBox.traceColor = startup.deviceTraceColor;
    LPCSTR iconName = MAKEINTRESOURCEA(IDR_MAINFRAME);
    icon = ::LoadIconA(AfxFindResourceHandle(iconName, MAKEINTRESOURCEA(14) /* RT_GROUP_ICON */), iconName);
    maxTraceBoxLines = settings.ReadRegDword(kConfiguration, "MaxTraceBoxLines", 2000);
    saveOnExit = settings.ReadRegDword(kConfiguration, "SaveOnExit", 1);
    maxConnectRetries = static_cast<uint32_t>(settings.ReadRegDword(kConfiguration, "MaxConnectRetries", 30));
    // The command line's port and rate count only when both are given.
    if (!startup.comPort.empty() && startup.baudRate != 0) {
        portName = startup.comPort;
        baudRate = startup.baudRate;
    } else {
        portName = settings.ReadRegString(kConfiguration, "COMPort", "COM1");
        baudRate = settings.ReadRegDword(kConfiguration, "Baudrate", 38400);
    }
    parity = settings.ReadRegDword(kConfiguration, "Parity", 0);
    stopBits = settings.ReadRegDword(kConfiguration, "Stopbits", 0);
    dataSize = settings.ReadRegDword(kConfiguration, "Datasize", 8);
}

CQarlDlg::~CQarlDlg() {
    // Stops a running transfer. The threads hold the session, and with it the three events,
    // themselves: the events are closed when the last of them lets go.
    transfer.reset();
    if (saveOnExit != 0) {
        SaveSettings();
    }
    if (autoProxy != nullptr) {
        autoProxy->dialog = nullptr;
    }
}

void CQarlDlg::DoDataExchange(bool /*save*/) {
    DDX_Control(IDC_STEPS, stepsListBox);
    DDX_Control(IDC_LIST_LABEL, listLabel);
    DDX_Control(IDC_INTERFACE, interfaceButton);
    DDX_Control(IDC_CONFIGURATIONS, configurationListBox);
    DDX_Control(IDC_PORT_SETTINGS, portSettingsText);
    DDX_Control(IDC_START, startButton);
    DDX_Control(IDC_MESSAGES, messageListBox);
}

BOOL CQarlDlg::OnInitDialog() {
    CDialog::OnInitDialog(); // binds the controls
    TransferOptions options;
    options.batchMode = startup.batchMode;
    options.dryRun = startup.dryRun;
    options.maxConnectRetries = maxConnectRetries;
    transfer = std::make_unique<TransferControl>(*this, catalogue, platform, m_hWnd, options);
    CWinApp* app = AfxGetApp();
    if (app != nullptr) {
        app->m_hMainWnd = m_hWnd;
    }
    MeasureLayout();
    RestoreWindowSize();
    CompleteWindowMenu();
    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    ShowPortSummary();
    // The idle text of the Start button, with its accelerator, from the start on.
    SetStartButtonText(catalogue.LoadText(IDS_START_TRANSFER));
    FillCatalogue();
    SetDisplayMode(false);
    if (startup.batchMode && startup.autoCloseManual == 0) {
        ::PostMessageA(m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_START, BN_CLICKED), 0);
    }
    startTime = std::time(nullptr);
    return TRUE;
}

// The offsets that every later layout keeps: measured once, at the template's size.
void CQarlDlg::MeasureLayout() {
    const RECT client = GetClientRect();
    startButtonOffset = client.right - startButton.GetRectInParent().left;
    bottomMargin = client.bottom - stepsListBox.GetRectInParent().bottom;
}

// The outer size of the last run; the position is never stored. The stored values replace
// what the creation's size notification recorded, so that a run without a resize writes back
// exactly what it found (nothing for a missing value, 0 for 0). A size that is missing or not
// positive leaves the template's size on the screen.
void CQarlDlg::RestoreWindowSize() {
    using settings::kConfiguration;
    windowWidth = settings.ReadRegDword(kConfiguration, "Width", 0);
    windowHeight = settings.ReadRegDword(kConfiguration, "Height", 0);
    if (windowWidth > 0 && windowHeight > 0) {
        ::SetWindowPos(m_hWnd, nullptr, 0, 0, windowWidth, windowHeight,
                       SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void CQarlDlg::CompleteWindowMenu() {
    HMENU menu = ::GetSystemMenu(m_hWnd, FALSE);
    if (menu == nullptr) {
        return;
    }
    if (!catalogue.LoadText(IDS_MINIMIZE).empty()) {
        ::InsertMenuA(menu, 1, MF_BYPOSITION | MF_STRING, SC_MINIMIZE, "Mi&nimize");
    }
    const std::string about = catalogue.LoadText(IDS_ABOUTBOX);
    if (!about.empty()) {
        ::AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
        ::AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, about.c_str());
    }
}

void CQarlDlg::OnSize(int width, int height) {
    const RECT outer = GetWindowRect();
    windowWidth = Width(outer);
    windowHeight = Height(outer);
    if (startButtonOffset <= 0 || bottomMargin <= 0) {
        return; // still being created: the controls are laid out by the template
    }
    RECT start = startButton.GetRectInParent();
    ::OffsetRect(&start, width - startButtonOffset - start.left, 0);
    startButton.MoveWindow(start);
    for (const CWnd* control : std::initializer_list<const CWnd*>{&configurationListBox, &listLabel}) {
        RECT rect = control->GetRectInParent();
        Resize(*control, width - 2 * rect.left, Height(rect));
    }
    for (const CWnd* control : std::initializer_list<const CWnd*>{&stepsListBox, &messageListBox}) {
        RECT rect = control->GetRectInParent();
        Resize(*control, width - 2 * rect.left, height - bottomMargin - rect.top);
    }
    RECT summary = portSettingsText.GetRectInParent();
    Resize(portSettingsText, width - startButtonOffset - summary.left, Height(summary));
    ::InvalidateRect(m_hWnd, nullptr, TRUE);
}

void CQarlDlg::OnPaintIconic() {
    CPaintDC dc(m_hWnd);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.m_hDC));
    const RECT client = GetClientRect();
    int x = (Width(client) - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
    int y = (Height(client) - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
    ::DrawIcon(dc.m_hDC, x, y, icon);
}

// The Copy/Save menu belongs to the visible message list; anywhere else, and for the
// keyboard's request at (-1, -1), the context menu is the About box.
void CQarlDlg::OnContextMenu(POINT point) {
    const bool keyboard = point.x == -1 && point.y == -1;
    if (!keyboard && messageListBox.IsWindowVisible()) {
        const RECT list = messageListBox.GetWindowRect();
        if (::PtInRect(&list, point)) {
            CMenu menu;
            if (menu.LoadMenu(131)) {
                if (HMENU popup = menu.GetSubMenu(0)) {
                    ::TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_RIGHTBUTTON, point.x, point.y, 0, m_hWnd,
                                     nullptr);
                }
            }
            return;
        }
    }
    ::PostMessageA(m_hWnd, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
}

void CQarlDlg::OnLabelDoubleClick(POINT point) {
    const RECT label = listLabel.GetRectInParent();
    if (::PtInRect(&label, point)) {
        SetDisplayMode(!messageListBox.IsWindowVisible());
    }
}

void CQarlDlg::SetDisplayMode(bool messages) {
    if (messages) {
        ::SetFocus(configurationListBox.m_hWnd);
    }
    messageListBox.EnableWindow(messages);
    messageListBox.ShowWindow(messages ? SW_SHOW : SW_HIDE);
    stepsListBox.EnableWindow(!messages && !TransferRunning());
    stepsListBox.ShowWindow(messages ? SW_HIDE : SW_SHOW);
    listLabel.SetWindowText(catalogue.LoadText(messages ? IDS_MESSAGES_LABEL : IDS_STEPS_LABEL));
}

// Filled once: the configuration named on the command line alone, or every configuration of
// the program's folder; one of them may be selected by the recent file list or as the only one.
void CQarlDlg::FillCatalogue() {
    configurationListBox.ResetContent();
    configurationList.clear();
    startConfiguration = nullptr;
    int index = -1;
    if (!startup.configFile.empty()) {
        index = AddConfiguration(startup.configFile);
    } else {
        AddFolderConfigurations(ProgramFolder());
        index = StartSelection(ItemPaths(), FindRecentConfiguration(settings));
    }
    if (index >= 0) {
        configurationListBox.SetCurSel(index);
        startConfiguration = static_cast<Configuration*>(configurationListBox.GetItemDataPtr(index));
        ShowSelectedSteps();
    }
}

void CQarlDlg::AddFolderConfigurations(const std::string& folder) {
    bool found = false;
    _finddata_t entry{};
    intptr_t search = ::_findfirst((folder + "\\*.cfg").c_str(), &entry);
    if (search != -1) {
        do {
            // A folder whose name ends in .cfg is no configuration.
            if ((entry.attrib & _A_SUBDIR) == 0) {
                AddConfiguration(folder + "\\" + entry.name);
                found = true;
            }
        } while (::_findnext(search, &entry) == 0);
        ::_findclose(search);
    }
    if (!found) {
        configurationListBox.AddString(kNoConfigurations);
    }
}

// The path of each item's configuration in list order; the empty text for the placeholder.
std::vector<std::string> CQarlDlg::ItemPaths() const {
    std::vector<std::string> paths;
    for (int i = 0, count = configurationListBox.GetCount(); i < count; ++i) {
        const auto* configuration = static_cast<const Configuration*>(configurationListBox.GetItemDataPtr(i));
        paths.push_back(configuration != nullptr ? configuration->Path() : std::string());
    }
    return paths;
}

int CQarlDlg::AddConfiguration(const std::string& path) {
    configurationList.push_back(std::make_unique<Configuration>(context, path));
    Configuration* configuration = configurationList.back().get();
    int index = configurationListBox.AddString(configuration->Description());
    if (index < 0) {
        return -1;
    }
    configurationListBox.SetItemDataPtr(index, configuration);
    return index;
}

void CQarlDlg::ShowSelectedSteps() {
    SetDisplayMode(false);
    stepsListBox.ResetContent();
    Configuration* configuration = SelectedConfiguration();
    if (configuration == nullptr) {
        return;
    }
    ListBoxStepsList steps(stepsListBox);
    configuration->ParseSteps(steps);
    if (stepsListBox.GetCount() == 0) {
        stepsListBox.AddString(catalogue.LoadText(IDS_NO_DOWNLOAD_STEPS));
    }
}

Configuration* CQarlDlg::SelectedConfiguration() {
    int index = configurationListBox.GetCurSel();
    if (index < 0) {
        return nullptr;
    }
    return static_cast<Configuration*>(configurationListBox.GetItemDataPtr(index));
}

void CQarlDlg::DisableConfigurationControls() {
    configurationListBox.EnableWindow(false);
    interfaceButton.EnableWindow(false);
}

void CQarlDlg::EnableConfigurationControls() {
    if (configurationListBox.IsWindow()) {
        configurationListBox.EnableWindow(true);
        if (stepsListBox.IsWindowVisible()) {
            stepsListBox.EnableWindow(true);
        }
    }
    if (interfaceButton.IsWindow()) {
        interfaceButton.EnableWindow(true);
    }
}

PortSettings CQarlDlg::LineSettings() {
    PortSettings line;
    line.baudRate = static_cast<uint32_t>(baudRate);
    line.dataSize = static_cast<uint8_t>(dataSize);
    line.parity = static_cast<uint8_t>(parity);
    line.stopBits = static_cast<uint8_t>(stopBits);
    return line;
}

void CQarlDlg::ShowPortSummary() {
    portSettingsText.SetWindowText(PortSummary(portName, baudRate, dataSize, parity, stopBits));
}

// The new values serve the next transfer; they are stored only when the dialog ends.
void CQarlDlg::EditPortSettings() {
    CSettingsDlg dialog(m_hWnd);
    dialog.portName = portName;
    dialog.baudRate = baudRate;
    dialog.parity = parity;
    dialog.stopBits = stopBits;
    dialog.dataSize = dataSize;
    if (dialog.DoModal() != IDOK) {
        return;
    }
    portName = dialog.portName;
    baudRate = dialog.baudRate;
    parity = dialog.parity;
    stopBits = dialog.stopBits;
    dataSize = dialog.dataSize;
    ShowPortSummary();
}

void CQarlDlg::ShowAboutBox() {
    CQarlAboutDlg about(startup.languageCode, startup.language, settings, ProgramVersionPath());
    about.DoModal();
}

void CQarlDlg::ShowMessage(const std::string& text) {
    AfxMessageBox(text, MB_OK);
}

bool CQarlDlg::AskYesNo(const std::string& text, const std::string& caption) {
    return ::MessageBoxA(m_hWnd, text.c_str(), caption.c_str(), MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void CQarlDlg::PostClose() {
    ::PostMessageA(m_hWnd, WM_CLOSE, 0, 0);
}

bool CQarlDlg::MayClose() {
    if (TransferRunning()) {
        AfxMessageBox(IDS_STILL_IN_PROGRESS, MB_OK);
        return false;
    }
    if (autoProxy != nullptr) {
        ShowWindow(SW_HIDE); // the automation client still holds the dialog
        return false;
    }
    return true;
}

void CQarlDlg::EndAutomationRun() {
    if (TransferRunning()) {
        ShowWindow(SW_SHOW);
        return;
    }
    CDialog::OnCancel();
}

void CQarlDlg::OnCancel() {
    if (MayClose()) {
        CDialog::OnCancel();
    }
}

void CQarlDlg::SaveSettings() {
    using settings::kConfiguration;
    settings.WriteRegString(kConfiguration, "COMPort", portName);
    settings.WriteRegDword(kConfiguration, "Baudrate", baudRate);
    if (windowWidth != 0) {
        settings.WriteRegDword(kConfiguration, "Width", windowWidth);
    }
    if (windowHeight != 0) {
        settings.WriteRegDword(kConfiguration, "Height", windowHeight);
    }
    if (startConfiguration != nullptr) {
        RememberRecentConfiguration(settings, startConfiguration->Path());
    }
}

bool CQarlDlg::OnCommand(UINT id, UINT notification) {
    switch (id) {
    case ID_QARL_CLOSE:
        OnCancel();
        return true;
    case ID_QARL_INTERFACE:
        EditPortSettings();
        return true;
    case ID_TRACE_COPY:
        CopyTraceToClipboard();
        return true;
    case ID_TRACE_SAVE:
        SaveTraceToFile();
        return true;
    case IDOK:
        // No default button and no OK of its own: Enter must never end the dialog past the
        // close check.
        return true;
    case IDC_START:
        if (notification == BN_CLICKED) {
            transfer->StartOrCancel();
            return true;
        }
        return false;
    case IDC_INTERFACE:
        if (notification == BN_CLICKED) {
            EditPortSettings();
            return true;
        }
        return false;
    case IDC_CONFIGURATIONS:
        if (notification == LBN_SELCHANGE) {
            ShowSelectedSteps();
            return true;
        }
        return false;
    default:
        return false;
    }
}

// A drain may update many lines, and drains follow each other closely while a device talks
// at full line rate: the list is not redrawn at each line of them (each change of a visible
// list costs milliseconds), only once after the drain, when the queue is idle.
void CQarlDlg::OnCommNotifyDrain(WPARAM wParam, LPARAM lParam) {
    drainingDeviceOutput = true;
    messageListBox.SendMessage(WM_SETREDRAW, FALSE);
    transfer->Dispatch(kWmCommNotify, wParam, lParam);
    messageListBox.SendMessage(WM_SETREDRAW, TRUE);
    drainingDeviceOutput = false;
    ::RedrawWindow(messageListBox.m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME);
}

bool CQarlDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    result = 0;
    if (transfer) {
        if (message == kWmCommNotify) {
            OnCommNotifyDrain(wParam, lParam);
            return true;
        }
        if (transfer->Dispatch(message, wParam, lParam)) {
            return true;
        }
    }
    switch (message) {
    case WM_COMMAND:
        if (OnCommand(LOWORD(wParam), HIWORD(wParam))) {
            return true;
        }
        break;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
            ShowAboutBox();
            return true;
        }
        return false; // every other system command: default processing
    case WM_DESTROY:
        ::WinHelpA(m_hWnd, nullptr, HELP_QUIT, 0);
        return false;
    case WM_PAINT:
        if (IsIconic()) {
            OnPaintIconic();
            return true;
        }
        return false;
    case WM_QUERYDRAGICON:
        result = reinterpret_cast<LRESULT>(icon);
        return true;
    case WM_CLOSE:
        WriteLogFile(nullptr);
        // Default processing ends the dialog through OnCancel.
        return !MayClose();
    case WM_CONTEXTMENU:
        OnContextMenu(POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
        return true;
    case WM_SIZE:
        OnSize(LOWORD(lParam), HIWORD(lParam));
        return false;
    case WM_LBUTTONDBLCLK:
        OnLabelDoubleClick(POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
        return false;
    case WM_GETMINMAXINFO:
        reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = POINT{kMinTrackWidth, kMinTrackHeight};
        return true;
    case WM_DRAWITEM:
        if (wParam == IDC_MESSAGES) {
            messageListBox.DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            result = TRUE;
            return true;
        }
        break;
    default:
        break;
    }
    return CDialog::OnMessage(message, wParam, lParam, result);
}
