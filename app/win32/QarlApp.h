#pragma once

#include "app/win32/Automation.h"
#include "app/win32/RegistrySettings.h"
#include "framework/Framework.h"

#include <cstdint>
#include <string>
#include <vector>

// The application object: the start-up results of one run and the settings store.
class CQarlApp : public CWinApp, public RegistrySettingsStore, public IAutomationHost {
public:
    CQarlApp();
    ~CQarlApp() override;

    BOOL InitInstance() override;
    int ExitInstance() override;

    // The arguments after the program name (the framework takes them from the process).
    std::vector<std::string> arguments;

    HINSTANCE m_hLanguageLib = nullptr;
    int m_nLanguage = 0;
    std::string m_strLanguageCode;
    std::string m_strConfigFile;
    uint32_t m_crDeviceTrace = 0x00FF0000; // RGB(0, 0, 255)
    std::string m_strComPort;
    int m_nBaudRate = 0;
    BOOL m_bBatchMode = FALSE;
    int m_nAutoCloseManual = 0;
    BOOL m_bAppendLog = FALSE;
    std::string m_strLogFile;
    std::string m_strStartupMessage;
    BOOL m_bDryRun = FALSE;
    // Started by the automation system (/Automation or /Embedding).
    BOOL m_bRunAutomated = FALSE;
    BOOL m_bRunEmbedded = FALSE;

    // IAutomationHost
    CQarlDlg* MainDialog() override { return mainDialog; }
    void LockApp() override { ++appLocks; }
    void UnlockApp() override;

private:
    void ResolveConfiguration(const std::string& name);
    void LogStartupFailure(const std::vector<std::string>& syntaxErrors, const std::string* failure) const;
    void SelectLanguage();
    void StartAutomation();
    void RunMainDialog();

    bool oleInitialized = false;
    CQarlClassFactory classFactory{*this};
    CQarlDlg* mainDialog = nullptr; // while it runs
    int appLocks = 0;
    int exitCode = 0;
};

CQarlApp& GetQarlApp();
