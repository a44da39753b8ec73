#pragma once

#include "app/SettingsStore.h"
#include "framework/Framework.h"

#include <string>

// The whole version resource of a file in a movable block; an empty block when the file has
// none or it cannot be read.
GlobalBlock LoadVersionInfo(const std::string& path);

// The string value named by key, under the translation given or, for 0 or when that has no
// such value, under the first translation of the block; at most 259 characters. Empty when
// the block, the translation table or the value is missing.
std::string GetVersionString(const GlobalBlock& block, const std::string& key, DWORD translation = 0);

// The file that holds the program's code (the module around one of its own functions); the
// program's name with ".EXE" when the module's file name is not known.
std::string ProgramVersionPath();

// The host product is installed: HKLM "SOFTWARE\Korvane\VANTORA\Languages" opens for reading.
bool HostProductInstalled();

// The About box (template 100): four lines computed when it is constructed.
class CQarlAboutDlg : public CDialog {
public:
    // With the application object's language and settings and the program's own version.
    CQarlAboutDlg();
    // With the language line's code and number, the store that tells whether the "Debug"
    // sub-key exists, and the file whose version resource is shown.
    CQarlAboutDlg(const std::string& languageCode, int language, ISettingsStore& settings,
                  const std::string& versionPath);

    std::string m_strLegalNotice;
    std::string m_strVersion;
    std::string m_strLanguage;
    std::string m_strHostVersion;

protected:
    void DoDataExchange(bool save) override;
};
