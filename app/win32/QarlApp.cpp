#include "app/win32/QarlApp.h"

#include "app/CommandLine.h"
#include "app/Language.h"
#include "app/MessageIds.h"
#include "app/StartupRules.h"
#include "app/win32/Win32Host.h"
#include "config/win32/Win32ProfileReader.h"
#include "engine/win32/Win32EnginePlatform.h"
#include "ui/LogFile.h"
#include "ui/win32/LogWriter.h"
#include "ui/win32/QarlDlg.h"

#include <ole2.h>

CQarlApp::CQarlApp() {
    m_strLogFile = DefaultLogName(ProgramPath().value_or(std::string()));
}

CQarlApp::~CQarlApp() {
    if (m_hLanguageLib != nullptr) {
        ::FreeLibrary(m_hLanguageLib);
    }
}

CQarlApp& GetQarlApp() {
    return *static_cast<CQarlApp*>(AfxGetApp());
}

BOOL CQarlApp::InitInstance() {
    // The parser's messages, 202 and 100 always come from the program's own catalogue.
    const ResourceCatalogue builtIn(m_hInstance);
    // Syntax errors are held until batch mode is known: a calling program gets them in the
    // log, never as boxes that would wait for a click.
    std::vector<std::string> syntaxErrors;
    CQarlCommandLineInfo cmdInfo(builtIn,
                                 [&syntaxErrors](const std::string& text) { syntaxErrors.push_back(text); });
    ParseCommandLine(cmdInfo, arguments);

    m_strComPort = cmdInfo.m_nComPort != 0 ? FormatText("COM%d", {cmdInfo.m_nComPort}) : std::string();
    m_bBatchMode = cmdInfo.m_bBatch;
    m_nBaudRate = cmdInfo.m_nBaudRate;
    m_nAutoCloseManual = ReadRegDword(settings::kConfiguration, "AutoCloseManual", 0);
    if (m_nAutoCloseManual == -1) {
        m_bBatchMode = TRUE;
    }
    exitCode = m_bBatchMode ? 1 : 0;
    if (!m_bBatchMode) {
        for (const std::string& text : syntaxErrors) {
            AfxMessageBox(text, MB_OK);
        }
    }
    m_bAppendLog = cmdInfo.m_bAppendLog;
    m_bDryRun = cmdInfo.m_bDryRun;
    m_bRunAutomated = cmdInfo.m_bRunAutomated;
    m_bRunEmbedded = cmdInfo.m_bRunEmbedded;
    if (!cmdInfo.m_strLogFile.empty()) {
        m_strLogFile = cmdInfo.m_strLogFile;
    }

    ResolveConfiguration(cmdInfo.m_strFileName);
    if (!cmdInfo.m_strFileName.empty() && m_strConfigFile.empty()) {
        const std::string message = builtIn.Format(IDS_CMDLINE_FILE_MISSING, {cmdInfo.m_strFileName});
        if (m_bBatchMode) {
            m_strStartupMessage = message;
        } else {
            AfxMessageBox(message, MB_OK);
        }
    }

    if (FAILED(::OleInitialize(nullptr))) {
        const std::string failure = builtIn.LoadText(IDS_OLE_INIT_FAILED);
        if (m_bBatchMode) {
            LogStartupFailure(syntaxErrors, &failure); // no box that would wait for a click
        } else {
            AfxMessageBox(failure, MB_OK, static_cast<UINT>(-1));
        }
        return FALSE;
    }
    oleInitialized = true;
    StartAutomation();

    SelectLanguage();
    m_crDeviceTrace = ParseTraceColor(ReadRegString(settings::kConfiguration, "DeviceTraceColor", "0 0 255"));

    if (cmdInfo.m_nShellCommand != CQarlCommandLineInfo::FileNothing) {
        RunMainDialog();
    } else if (m_bBatchMode) {
        LogStartupFailure(syntaxErrors, nullptr);
    }
    return FALSE;
}

// Started by the automation system, the class is served from here (the dialog's message loop
// answers the requests); otherwise its registry entries are refreshed. Neither stops the run.
void CQarlApp::StartAutomation() {
    if (m_bRunAutomated || m_bRunEmbedded) {
        classFactory.Register();
    } else if (std::optional<std::string> path = ProgramPath()) {
        UpdateAutomationRegistry(*path);
    }
}

// The client's last release ends a program that was started for it.
void CQarlApp::UnlockApp() {
    if (--appLocks > 0 || !(m_bRunAutomated || m_bRunEmbedded)) {
        return;
    }
    if (mainDialog != nullptr) {
        mainDialog->EndAutomationRun();
    }
}

// In batch mode every way out of start-up leaves its record in the log: the held-back syntax
// errors, then the failure that ended start-up.
void CQarlApp::LogStartupFailure(const std::vector<std::string>& syntaxErrors,
                                 const std::string* failure) const {
    std::string message;
    for (const std::string& text : syntaxErrors) {
        for (char c : text) {
            message += c == '\n' ? std::string("\r\n") : std::string(1, c);
        }
        message += "\r\n";
    }
    if (failure != nullptr) {
        message += *failure;
    }
    WriteLogRecord(
        m_strLogFile, m_bAppendLog != FALSE,
        FormatLogRecord(m_strConfigFile, LogDateTime(std::time(nullptr)), m_strStartupMessage, {}, &message));
}

void CQarlApp::ResolveConfiguration(const std::string& name) {
    m_strConfigFile = ResolveConfigFile(name, Win32FileSystem(), CurrentDirectory(), ProgramFolder());
}

void CQarlApp::SelectLanguage() {
    Win32LanguageHost host;
    LanguageChoice choice = ::SelectLanguage(host);
    m_nLanguage = choice.number;
    m_strLanguageCode = choice.code;
    if (choice.libraryPath.empty()) {
        return;
    }
    m_hLanguageLib = LoadLanguageLibrary(choice.libraryPath);
    if (m_hLanguageLib != nullptr) {
        AfxSetResourceHandle(m_hLanguageLib);
    }
}

void CQarlApp::RunMainDialog() {
    StartupValues startup;
    startup.comPort = m_strComPort;
    startup.baudRate = m_nBaudRate;
    startup.batchMode = m_bBatchMode != FALSE;
    startup.autoCloseManual = m_nAutoCloseManual;
    startup.appendLog = m_bAppendLog != FALSE;
    startup.logFile = m_strLogFile;
    startup.configFile = m_strConfigFile;
    startup.startupMessage = m_strStartupMessage;
    startup.dryRun = m_bDryRun != FALSE;
    startup.deviceTraceColor = m_crDeviceTrace;
    startup.languageCode = m_strLanguageCode;
    startup.language = m_nLanguage;
    Win32ProfileReader profile;
    CQarlDlg dialog(startup, *this, profile, std::make_shared<Win32EnginePlatform>());
    mainDialog = &dialog;
    dialog.DoModal();
    mainDialog = nullptr;
    classFactory.Revoke(); // the dialog's window, gone, is the main window no more
    // In batch mode the exit status tells the calling program the outcome.
    if (m_bBatchMode) {
        exitCode = dialog.TransferCompleted() ? 0 : 1;
    }
}

int CQarlApp::ExitInstance() {
    if (m_hLanguageLib != nullptr) {
        AfxSetResourceHandle(m_hInstance);
        ::FreeLibrary(m_hLanguageLib);
        m_hLanguageLib = nullptr;
    }
    if (oleInitialized) {
        ::OleUninitialize();
        oleInitialized = false;
    }
    CWinApp::ExitInstance();
    return exitCode;
}
