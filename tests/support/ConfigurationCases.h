#pragma once

#include "app/Catalogue.h"
#include "config/Configuration.h"

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

// Cases of the configuration model that both builds run: the native build with its own profile
// reader and POSIX file tests, the Windows build with GetPrivateProfile* and CreateFileA.

// One expected line of the steps list: a title as it stands, or a catalogue text with its
// argument. "{cfg}" in a text stands for the configuration's folder.
struct StepsLine {
    unsigned id = 0; // 0: the text itself
    std::string text;
    bool hasNumber = false;
    uint32_t number = 0;
};

StepsLine Title(std::string text);
StepsLine Catalogued(unsigned id);
StepsLine Catalogued(unsigned id, uint32_t number);
StepsLine Catalogued(unsigned id, std::string text);

// A step's fields as ParseSteps leaves them; "{cfg}" stands for the configuration's folder.
struct StepFields {
    std::string bootFile;
    std::string firmwareFile;
    unsigned connectAck = 0;
    bool operator==(const StepFields& other) const {
        return bootFile == other.bootFile && firmwareFile == other.firmwareFile &&
               connectAck == other.connectAck;
    }
};
std::ostream& operator<<(std::ostream& out, const StepFields& step);

struct ConfigurationCase {
    std::string name;
    std::string cfg;                        // the .cfg file
    std::vector<std::string> currentFiles;  // made in the current directory
    std::vector<std::string> besideFiles;   // made beside the .cfg
    std::vector<std::string> besideFolders; // folders beside the .cfg: present, but no file to read
    std::string description;                // "{path}" stands for the .cfg's path
    bool parsed = true;
    std::vector<StepsLine> lines;
    std::vector<StepFields> steps;
    bool valid = true;
};
void PrintTo(const ConfigurationCase& c, std::ostream* out);

std::vector<ConfigurationCase> ConfigurationCases();

// A steps list that records its lines.
class RecordingStepsList : public IStepsList {
public:
    void ResetContent() override {
        lines.clear();
        ++resets;
    }
    void AddString(const std::string& line) override { lines.push_back(line); }

    std::vector<std::string> lines;
    int resets = 0;
};

// The process's current directory and the .cfg's folder, each ending with its separator.
struct CaseFolders {
    std::string current;
    std::string configuration;
};

struct ConfigurationOutcome {
    std::string description;
    bool parsed = false;
    std::vector<std::string> lines;
    std::vector<StepFields> steps;
    bool valid = false;
};

// Makes the case's files, reads the configuration as the program does, and removes the files.
ConfigurationOutcome RunConfigurationCase(const ConfigurationCase& c, const ConfigurationContext& context,
                                          const CaseFolders& folders);
// What the case expects, in the same form.
ConfigurationOutcome ExpectedOutcome(const ConfigurationCase& c, const ITextCatalogue& texts,
                                     const CaseFolders& folders);
// Runs the case and checks every part of the outcome (a GoogleTest expectation each).
void ExpectConfigurationCase(const ConfigurationCase& c, const ConfigurationContext& context,
                             const ITextCatalogue& texts, const CaseFolders& folders);

// A .cfg of any content, and what must hold whatever it holds.
struct AnyFileCase {
    enum class File { Written, Missing, Folder };
    std::string name;
    File file = File::Written;
    std::function<std::string()> content; // made when the case runs
    int steps = -1;                       // the number of steps, when the content fixes it
    std::string description;              // when the content fixes it; "{path}" stands for the .cfg's path
};
void PrintTo(const AnyFileCase& c, std::ostream* out);

std::vector<AnyFileCase> AnyFileCases();

struct AnyFileOutcome {
    std::string path;
    ConfigurationOutcome read;
    size_t walked = 0;      // steps visited by FirstStep and NextStep before none
    bool noneAgain = false; // NextStep after the end gave none once more
};

// Reads the file in `folder` (ending with its separator) the way the program does.
AnyFileOutcome ReadAnyFile(const AnyFileCase& c, const ConfigurationContext& context,
                           const std::string& folder);
// The first rule the outcome breaks, or the empty text.
std::string BrokenRule(const AnyFileCase& c, const AnyFileOutcome& outcome);
