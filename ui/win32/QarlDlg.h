#pragma once

#include "app/SettingsStore.h"
#include "app/win32/Win32Host.h"
#include "config/Configuration.h"
#include "engine/TransferControl.h"
#include "framework/Framework.h"

#include <ctime>
#include <memory>
#include <string>
#include <vector>

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

// The main dialog: owns the controls, the port settings, the transfer session and the
// configurations, and turns the worker threads' messages into lines of the message list.
class CQarlDlg : public CDialog, public ISessionOwner {
public:
    CQarlDlg(const StartupValues& startup, ISettingsStore& settings, IProfileReader& profile,
             std::shared_ptr<IEnginePlatform> platform);
    ~CQarlDlg() override;

    // The outcome for a calling program: true when the last run ended with the final completion.
    bool TransferCompleted() const { return transfer && transfer->Completed(); }

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

    // Members of the dialog's state.
    int saveOnExit = 1;
    int maxTraceBoxLines = 2000;
    std::string portName;
    int baudRate = 38400;
    int parity = 0;
    int stopBits = 0;
    int dataSize = 8;
    std::vector<std::unique_ptr<Configuration>> configurationList;
    Configuration* startConfiguration = nullptr;
    int windowWidth = 0;
    int windowHeight = 0;
    CListBox stepsListBox;
    CStatic listLabel;
    CButton interfaceButton;
    CListBox configurationListBox;
    CStatic portSettingsText;
    CButton startButton;
    CListBox messageListBox;
    uint32_t traceColor;
    bool logWritten = false;
    std::time_t startTime = 0;
    std::string startupMessage;

protected:
    BOOL OnInitDialog() override;
    void OnCancel() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    void DoDataExchange();
    bool MayClose();
    void SaveSettings();
    void FillCatalogue();
    int AddConfiguration(const std::string& path);
    void ShowSelectedSteps();
    void DrawTraceItem(const DRAWITEMSTRUCT& item) const;
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
