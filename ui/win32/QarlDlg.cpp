#include "ui/win32/QarlDlg.h"

#include "app/MessageIds.h"
#include "ui/LogFile.h"
#include "ui/PortSummary.h"
#include "ui/win32/LogWriter.h"

namespace {

constexpr int IDC_MESSAGES = 1005;
constexpr int IDC_STEPS = 1006;
constexpr int IDC_START = 1009;
constexpr int IDC_PORT_SETTINGS = 1015;
constexpr int IDC_INTERFACE = 1024;
constexpr int IDC_CONFIGURATIONS = 1025;
constexpr int IDC_LIST_LABEL = 1026;

} // namespace

CQarlDlg::CQarlDlg(const StartupValues& startup, ISettingsStore& settings, IProfileReader& profile,
                   std::shared_ptr<IEnginePlatform> platform)
    : CDialog(102), traceColor(startup.deviceTraceColor), startupMessage(startup.startupMessage),
      startup(startup), settings(settings), context{profile, files, catalogue},
      platform(std::move(platform)) {
    using settings::kConfiguration;
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
    transfer.reset(); // stops a running transfer; its threads keep their own session
    if (saveOnExit != 0) {
        SaveSettings();
    }
}

void CQarlDlg::DoDataExchange() {
    DDX_Control(IDC_STEPS, stepsListBox);
    DDX_Control(IDC_LIST_LABEL, listLabel);
    DDX_Control(IDC_INTERFACE, interfaceButton);
    DDX_Control(IDC_CONFIGURATIONS, configurationListBox);
    DDX_Control(IDC_PORT_SETTINGS, portSettingsText);
    DDX_Control(IDC_START, startButton);
    DDX_Control(IDC_MESSAGES, messageListBox);
}

BOOL CQarlDlg::OnInitDialog() {
    DoDataExchange();
    TransferOptions options;
    options.batchMode = startup.batchMode;
    options.dryRun = startup.dryRun;
    options.maxConnectRetries = maxConnectRetries;
    transfer = std::make_unique<TransferControl>(*this, catalogue, platform, m_hWnd, options);
    CWinApp* app = AfxGetApp();
    if (app != nullptr) {
        app->m_hMainWnd = m_hWnd;
    }
    ShowPortSummary();
    FillCatalogue();
    SetDisplayMode(false);
    if (startup.batchMode && startup.autoCloseManual == 0) {
        ::PostMessageA(m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_START, BN_CLICKED), 0);
    }
    startTime = std::time(nullptr);
    return TRUE;
}

// Only the configuration named on the command line is offered for now, already selected.
void CQarlDlg::FillCatalogue() {
    configurationListBox.ResetContent();
    configurationList.clear();
    startConfiguration = nullptr;
    if (startup.configFile.empty()) {
        return;
    }
    int index = AddConfiguration(startup.configFile);
    if (index >= 0) {
        configurationListBox.SetCurSel(index);
        startConfiguration = static_cast<Configuration*>(configurationListBox.GetItemDataPtr(index));
        ShowSelectedSteps();
    }
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

void CQarlDlg::SetDisplayMode(bool messages) {
    if (messages) {
        ::SetFocus(configurationListBox.m_hWnd);
    }
    messageListBox.EnableWindow(messages);
    messageListBox.ShowWindow(messages ? SW_SHOW : SW_HIDE);
    stepsListBox.EnableWindow(!messages && !(transfer && transfer->IsRunning()));
    stepsListBox.ShowWindow(messages ? SW_HIDE : SW_SHOW);
    listLabel.SetWindowText(catalogue.LoadText(messages ? IDS_MESSAGES_LABEL : IDS_STEPS_LABEL));
}

void CQarlDlg::DisableConfigurationControls() {
    configurationListBox.EnableWindow(false);
    interfaceButton.EnableWindow(false);
}

void CQarlDlg::EnableConfigurationControls() {
    if (::IsWindow(configurationListBox.m_hWnd)) {
        configurationListBox.EnableWindow(true);
        if (stepsListBox.IsWindowVisible()) {
            stepsListBox.EnableWindow(true);
        }
    }
    if (::IsWindow(interfaceButton.m_hWnd)) {
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
    portSettingsText.SetWindowText(PortSummary(portName, LineSettings()));
}

void CQarlDlg::AddTraceLine(const std::string& text) {
    if (maxTraceBoxLines > 0) {
        while (messageListBox.GetCount() >= maxTraceBoxLines) {
            messageListBox.DeleteString(0);
        }
    }
    int index = messageListBox.AddString(text);
    messageListBox.SetCurSel(index);
    messageListBox.SetCurSel(-1);
    if (!drainingDeviceOutput) {
        RepaintMessages();
    }
}

void CQarlDlg::RepaintMessages() const {
    ::RedrawWindow(messageListBox.m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

void CQarlDlg::UpdateTraceLine(const std::string& text) {
    int count = messageListBox.GetCount();
    if (count > 0) {
        const std::string last = messageListBox.GetText(count - 1);
        if (text.compare(0, last.size(), last) == 0 && text.size() >= last.size()) {
            messageListBox.DeleteString(count - 1);
        }
    }
    AddTraceLine(text);
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

// Written once per run; a log that could not be opened is tried again at the next call.
void CQarlDlg::WriteLogFile(const std::string* finalMessage) {
    if (logWritten) {
        return;
    }
    std::vector<std::string> lines;
    for (int i = 0, count = messageListBox.GetCount(); i < count; ++i) {
        lines.push_back(messageListBox.GetText(i));
    }
    const std::string record =
        FormatLogRecord(startup.configFile, LogDateTime(startTime), startupMessage, lines, finalMessage);
    logWritten = WriteLogRecord(startup.logFile, startup.appendLog, record);
}

bool CQarlDlg::MayClose() {
    if (transfer && transfer->IsRunning()) {
        AfxMessageBox(IDS_STILL_IN_PROGRESS, MB_OK);
        return false;
    }
    return true;
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
}

void CQarlDlg::DrawTraceItem(const DRAWITEMSTRUCT& item) const {
    if (item.itemID >= static_cast<UINT>(messageListBox.GetCount())) {
        return;
    }
    const std::string text = messageListBox.GetText(static_cast<int>(item.itemID));
    bool deviceLine = text.empty() || text[0] != '*';
    COLORREF previous = deviceLine ? ::SetTextColor(item.hDC, traceColor) : 0;
    ::ExtTextOutA(item.hDC, item.rcItem.left, item.rcItem.top, ETO_OPAQUE | ETO_CLIPPED, &item.rcItem,
                  text.c_str(), static_cast<UINT>(text.size()), nullptr);
    if (deviceLine) {
        ::SetTextColor(item.hDC, previous);
    }
}

bool CQarlDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    if (message == kWmCommNotify && transfer) {
        // A drain may update many lines, and drains follow each other closely while a device
        // talks at full line rate: the list is not redrawn at each line of them (each change
        // of a visible list costs milliseconds), only once after the drain.
        drainingDeviceOutput = true;
        messageListBox.SendMessage(WM_SETREDRAW, FALSE);
        transfer->Dispatch(message, wParam, lParam);
        messageListBox.SendMessage(WM_SETREDRAW, TRUE);
        drainingDeviceOutput = false;
        // Painted when the queue is idle: repainting at every drain would fall behind.
        ::RedrawWindow(messageListBox.m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME);
        result = 0;
        return true;
    }
    if (transfer && transfer->Dispatch(message, wParam, lParam)) {
        result = 0;
        return true;
    }
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_START && HIWORD(wParam) == BN_CLICKED) {
            transfer->StartOrCancel();
            return true;
        }
        if (LOWORD(wParam) == IDC_CONFIGURATIONS && HIWORD(wParam) == LBN_SELCHANGE) {
            ShowSelectedSteps();
            return true;
        }
        break;
    case WM_CLOSE:
        WriteLogFile(nullptr);
        if (MayClose()) {
            EndDialog(IDCANCEL);
        }
        return true;
    case WM_DRAWITEM:
        if (wParam == IDC_MESSAGES) {
            DrawTraceItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            result = TRUE;
            return true;
        }
        break;
    case WM_SIZE: {
        RECT outer{};
        ::GetWindowRect(m_hWnd, &outer);
        windowWidth = outer.right - outer.left;
        windowHeight = outer.bottom - outer.top;
        break;
    }
    default:
        break;
    }
    return CDialog::OnMessage(message, wParam, lParam, result);
}
