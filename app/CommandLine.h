#pragma once

#include "app/Catalogue.h"

#include <functional>
#include <string>
#include <vector>

// The command line: Tovrin cfgfile -Cn -Bm [-X -L logfilename [-A]].
// Holds the fields of the framework's command-line info that the program relies on (the
// configuration file, the shell command, the automation start) and the program's own.
class CQarlCommandLineInfo {
public:
    enum ShellCommand { FileNew = 0, FileOpen = 1, FileNothing = -1 };
    using BoxFunction = std::function<void(const std::string& text)>;

    // Syntax errors are shown through showBox with texts of the given (built-in) catalogue.
    CQarlCommandLineInfo(const ITextCatalogue& catalogue, BoxFunction showBox);
    virtual ~CQarlCommandLineInfo() = default;

    // One argument; a switch arrives without its leading '-' or '/'.
    virtual void ParseParam(const char* param, bool bFlag, bool bLast);
    // Shows one error box (message, two line feeds, usage) and keeps the main dialog away.
    virtual void ReportSyntaxError(unsigned id, const char* arg);

    // Base fields.
    std::string m_strFileName;
    int m_nShellCommand = FileNew;
    bool m_bRunEmbedded = false;
    bool m_bRunAutomated = false;

    // Own fields.
    bool m_bExpectLogName = false;
    int m_nComPort = 0;
    int m_nBaudRate = 0;
    bool m_bBatch = false;
    bool m_bAppendLog = false;
    std::string m_strLogFile;
    bool m_bDryRun = false;

private:
    void ParseSwitch(const std::string& text);
    void ParseNonSwitch(const char* param);
    void ParseStandardSwitch(const std::string& text);
    void ParseLast(bool bLast);
    // Digits only, the whole text after the letter; the value saturates instead of overflowing.
    static bool NumberCheck(const std::string& digits, long long& value);

    const ITextCatalogue& catalogue;
    BoxFunction showBox;
};

// Splits the arguments into switches ('-' or '/' first) and others and hands them to ParseParam
// in order; a lone '-' or '/' is ignored.
void ParseCommandLine(CQarlCommandLineInfo& info, const std::vector<std::string>& args);

// The accepted baud rates, as offered by the interface settings dialog.
bool IsOfferedBaudRate(long long value);
