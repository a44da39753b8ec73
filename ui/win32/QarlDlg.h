#pragma once

#include "app/SettingsStore.h"
#include "app/win32/Win32Host.h"
#include "config/Configuration.h"
#include "engine/TransferControl.h"
#include "framework/Framework.h"
#include "ui/win32/TraceListBox.h"

#include <ctime>
#include <memory>
#include <string>
#include <vector>

class CQarlDlgAutoProxy;

// What start-up decided for this run.
struct StartupValues {
    std::string comPort; // "COM%d" from the command line, or empty
    int baudRate = 0;    // from the command line, or 0
    bool batchMode = false;
    int autoCloseManual = 0;
    bool appendLog = false;
    std::string logFile;
    std::string configFile; // the configuration named on the command line, completed; or empty
    std::string startupMessage;
    bool dryRun = false;
    uint32_t deviceTraceColor = 0x00FF0000;
    std::string languageCode; // the language chosen at start-up, for the About box
    int language = 0;
};

// The steps list box as the configuration's steps list.
class ListBoxStepsList : public IStepsList {
public:
    explicit ListBoxStepsList(CListBox& list) : list(list) {}
    void ResetContent() override { list.ResetContent(); }
    void AddString(const std::string& line) override { list.AddString(line); }

private:
    CListBox& list;
};

// Commands of the main dialog that no control sends.
constexpr UINT ID_QARL_CLOSE = 32773;
constexpr UINT ID_QARL_INTERFACE = 32774;
constexpr UINT ID_TRACE_COPY = 32776;
constexpr UINT ID_TRACE_SAVE = 32777;
// The window-menu entry of the About box.
constexpr UINT IDM_ABOUTBOX = 16;

// The main dialog: owns the controls, the port settings, the transfer session and the
// configurations, and turns the worker threads' messages into lines of the message list.
class CQarlDlg : public CDialog, public ISessionOwner {
public:
    static constexpr int kMinTrackWidth = 200;
    static constexpr int kMinTrackHeight = 250;

    CQarlDlg(const StartupValues& startup, ISettingsStore& settings, IProfileReader& profile,
             std::shared_ptr<IEnginePlatform> platform);
    ~CQarlDlg() override;

    // The outcome for a calling program: true when the last run ended with the final completion.
    bool TransferCompleted() const { return transfer && transfer->Completed(); }
    bool TransferRunning() const { return transfer && transfer->IsRunning(); }

    // ISessionOwner
    void AddTraceLine(const std::string& text) override;
    void UpdateTraceLine(const std::string& text) override;
    int TraceLineCount() override { return messageListBox.GetCount(); }
    std::string TraceLine(int index) override { return messageListBox.GetText(index); }
    void DeleteTraceLine(int index) override { messageListBox.DeleteString(index); }
    void ResetTraceLines() override { messageListBox.ResetContent(); }
    void SetPortSummaryText(const std::string& text) override { portSettingsText.SetWindowText(text); }
    void ShowPortSummary() override;
    void SetStartButtonText(const std::string& text) override { startButton.SetWindowText(text); }
    void SetListLabel(const std::string& text) override { listLabel.SetWindowText(text); }
    void SetDisplayMode(bool messages) override;
    void DisableConfigurationControls() override;
    void EnableConfigurationControls() override;
    Configuration* SelectedConfiguration() override;
    std::string PortName() override { return portName; }
    PortSettings LineSettings() override;
    void ShowMessage(const std::string& text) override;
    bool AskYesNo(const std::string& text, const std::string& caption) override;
    void WriteLogFile(const std::string* finalMessage) override;
    void PostClose() override;

    // The automation client that started the program let go: the program ends, unless a
    // transfer runs (then the window is shown again and the user decides).
    void EndAutomationRun();

    // The context menu's commands.
    void CopyTraceToClipboard();
    void SaveTraceToFile();

    // Members of the dialog's state, in the order of their meaning for a run.
    int saveOnExit = 1;
    int maxTraceBoxLines = 2000;
    std::string portName;
    int baudRate = 38400;
    int parity = 0;
    int stopBits = 0;
    int dataSize = 8;
    int startButtonOffset = 0; // client right edge minus the Start button's left edge
    int bottomMargin = 0;      // client bottom minus the steps list's bottom edge
    std::vector<std::unique_ptr<Configuration>> configurationList;
    Configuration* startConfiguration = nullptr;
    int windowWidth = 0; // outer size: the stored one at the start, then every size notification's
    int windowHeight = 0;
    CListBox stepsListBox;
    CStatic listLabel;
    CButton interfaceButton;
    CListBox configurationListBox;
    CStatic portSettingsText;
    CButton startButton;
    TraceListBox messageListBox;
    CQarlDlgAutoProxy* autoProxy = nullptr; // set while an automation client holds the dialog
    HICON icon = nullptr;
    bool logWritten = false;
    std::time_t startTime = 0;
    std::string startupMessage;

protected:
    BOOL OnInitDialog() override;
    void OnCancel() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    bool MayClose();

    void DoDataExchange(bool save) override;

private:
    void MeasureLayout();
    void RestoreWindowSize();
    void CompleteWindowMenu();
    bool OnCommand(UINT id, UINT notification);
    void OnSize(int width, int height);
    void OnPaintIconic();
    void OnContextMenu(POINT point);
    void OnLabelDoubleClick(POINT point);
    void OnCommNotifyDrain(WPARAM wParam, LPARAM lParam);
    void EditPortSettings();
    void ShowAboutBox();
    void SaveSettings();
    void FillCatalogue();
    void AddFolderConfigurations(const std::string& folder);
    int AddConfiguration(const std::string& path);
    std::vector<std::string> ItemPaths() const;
    void ShowSelectedSteps();
    std::vector<std::string> TraceLines() const;
    void RepaintMessages() const;

    StartupValues startup;
    ISettingsStore& settings;
    Win32FileSystem files;
    ResourceCatalogue catalogue;
    ConfigurationContext context;
    std::shared_ptr<IEnginePlatform> platform;
    uint32_t maxConnectRetries = 30;
    std::unique_ptr<TransferControl> transfer;
    bool drainingDeviceOutput = false;
};
