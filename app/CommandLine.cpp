#include "app/CommandLine.h"

#include "app/MessageIds.h"
#include "app/TextUtil.h"

#include <cctype>

namespace {

constexpr long long kOfferedBaudRates[] = {9600, 14400, 19200, 38400, 57600, 115200};

} // namespace

bool IsOfferedBaudRate(long long value) {
    for (long long rate : kOfferedBaudRates) {
        if (rate == value) {
            return true;
        }
    }
    return false;
}

CQarlCommandLineInfo::CQarlCommandLineInfo(const ITextCatalogue& catalogue, BoxFunction showBox)
    : catalogue(catalogue), showBox(std::move(showBox)) {}

bool CQarlCommandLineInfo::NumberCheck(const std::string& digits, long long& value) {
    if (digits.empty()) {
        return false;
    }
    value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value < 1000000000LL ? value * 10 + (c - '0') : value;
    }
    return true;
}

void CQarlCommandLineInfo::ParseParam(const char* param, bool bFlag, bool bLast) {
    if (bFlag) {
        if (param != nullptr && *param != '\0') {
            ParseSwitch(param);
        }
    } else {
        ParseNonSwitch(param != nullptr ? param : "");
    }
    ParseLast(bLast);
}

void CQarlCommandLineInfo::ParseSwitch(const std::string& text) {
    m_bExpectLogName = false;
    // The automation system starts a server with these; they must not be taken for -A or -E.
    if (EqualsNoCase(text, "Automation") || EqualsNoCase(text, "Embedding")) {
        ParseStandardSwitch(text);
        return;
    }
    const std::string rest = text.substr(1);
    long long value = 0;
    switch (std::toupper(static_cast<unsigned char>(text[0]))) {
    case '?':
        ReportSyntaxError(0, nullptr);
        break;
    case 'A':
        m_bAppendLog = true;
        break;
    case 'B':
        if (!NumberCheck(rest, value)) {
            ReportSyntaxError(IDS_SYNTAX_BAUDRATE, nullptr);
        } else if (!IsOfferedBaudRate(value)) {
            ReportSyntaxError(IDS_INVALID_BAUDRATE, rest.c_str());
        } else {
            m_nBaudRate = static_cast<int>(value);
        }
        break;
    case 'C':
        if (!NumberCheck(rest, value)) {
            ReportSyntaxError(IDS_SYNTAX_COM_PORT, nullptr);
        } else if (value < 1 || value > 256) {
            ReportSyntaxError(IDS_INVALID_COM_PORT, rest.c_str());
        } else {
            m_nComPort = static_cast<int>(value);
        }
        break;
    case 'L':
        if (!rest.empty()) {
            m_strLogFile = rest;
        } else {
            m_bExpectLogName = true;
        }
        break;
    case 'W':
        if (text == "wqTZ") {
            m_bDryRun = true;
        } else {
            ParseStandardSwitch(text);
        }
        break;
    case 'X':
        m_bBatch = true;
        break;
    default:
        ParseStandardSwitch(text);
        break;
    }
}

void CQarlCommandLineInfo::ParseStandardSwitch(const std::string& text) {
    if (EqualsNoCase(text, "Embedding")) {
        m_bRunEmbedded = true;
    } else if (EqualsNoCase(text, "Automation")) {
        m_bRunAutomated = true;
    }
}

void CQarlCommandLineInfo::ParseNonSwitch(const char* param) {
    if (m_bExpectLogName) {
        m_strLogFile = param;
        m_bExpectLogName = false;
    } else if (m_strFileName.empty()) {
        m_strFileName = param;
    } else {
        ReportSyntaxError(IDS_ONE_CONFIGURATION_ONLY, nullptr);
    }
}

void CQarlCommandLineInfo::ParseLast(bool bLast) {
    if (bLast && m_nShellCommand == FileNew && !m_strFileName.empty()) {
        m_nShellCommand = FileOpen;
    }
}

void CQarlCommandLineInfo::ReportSyntaxError(unsigned id, const char* arg) {
    std::string message;
    if (arg != nullptr) {
        message = catalogue.Format(id, {arg});
    } else if (id != 0) {
        message = catalogue.LoadText(id);
    }
    const std::string usage = catalogue.LoadText(IDS_USAGE);
    if (showBox) {
        showBox(FormatText("%s\n\n%s", {message, usage}));
    }
    m_nShellCommand = FileNothing;
}

void ParseCommandLine(CQarlCommandLineInfo& info, const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        bool isSwitch = !arg.empty() && (arg[0] == '-' || arg[0] == '/');
        const char* param = isSwitch ? arg.c_str() + 1 : arg.c_str();
        info.ParseParam(param, isSwitch, i + 1 == args.size());
    }
}
