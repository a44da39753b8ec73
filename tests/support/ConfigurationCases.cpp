#include "tests/support/ConfigurationCases.h"

#include "app/MessageIds.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

std::string Cfg(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\r\n";
    }
    return text;
}

std::string Replace(std::string text, const std::string& placeholder, const std::string& value) {
    for (size_t at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size())) {
        text.replace(at, placeholder.size(), value);
    }
    return text;
}

// A name as written in a .cfg ('\' between folders) on the folder's own separator.
fs::path OnDisk(const std::string& folder, const std::string& name) {
    return fs::u8path(folder + Replace(name, "\\", std::string(1, folder.back())));
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::error_code ignored;
    fs::create_directories(path.parent_path(), ignored);
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Removes what a case made when the case ends.
class MadeFiles {
public:
    ~MadeFiles() {
        std::error_code ignored;
        for (const fs::path& path : made) {
            fs::remove_all(path, ignored);
        }
    }
    void File(const std::string& folder, const std::string& name, const std::string& bytes) {
        Remember(folder, name);
        WriteFile(OnDisk(folder, name), bytes);
    }
    void Folder(const std::string& folder, const std::string& name) {
        Remember(folder, name);
        std::error_code ignored;
        fs::create_directories(OnDisk(folder, name), ignored);
    }

private:
    // The top of what the name makes, so that sub-folders go as well.
    void Remember(const std::string& folder, const std::string& name) {
        made.push_back(OnDisk(folder, name.substr(0, name.find('\\'))));
        std::error_code ignored;
        fs::remove_all(made.back(), ignored);
    }
    std::vector<fs::path> made;
};

ConfigurationCase Case(std::string name, std::string cfg) {
    ConfigurationCase c;
    c.name = std::move(name);
    c.cfg = std::move(cfg);
    return c;
}

// One step named Step1 with the given lines of its section; its files lie in the current directory.
ConfigurationCase OneStep(std::string name, std::initializer_list<std::string> stepLines) {
    std::string cfg = Cfg({"[LoadingSteps]", "Description=One step", "Step1=Load", "[Step1]"});
    for (const std::string& line : stepLines) {
        cfg += line + "\r\n";
    }
    ConfigurationCase c = Case(std::move(name), cfg);
    c.description = "One step";
    return c;
}

std::vector<StepsLine> FourLines(std::string title, uint32_t ack, std::string boot, std::string firmware) {
    return {Title(std::move(title)), Catalogued(IDS_STEP_CONNECT, ack),
            Catalogued(IDS_STEP_BOOTFILE, std::move(boot)),
            Catalogued(IDS_STEP_FIRMWARE, std::move(firmware))};
}

void AddOrderAndNames(std::vector<ConfigurationCase>& cases) {
    ConfigurationCase order =
        Case("StepsInFileOrder",
             Cfg({"[LoadingSteps]", "Description=Drive firmware", "Step2=Second", "Step1=First", "[Step1]",
                  "AckByte=197", "BootFile=ONE.BIN", "Firmware=ONE.B86", "[Step2]", "AckByte=17",
                  "BootFile=TWO.BIN", "Firmware=TWO.B86"}));
    order.currentFiles = {"ONE.BIN", "ONE.B86", "TWO.BIN", "TWO.B86"};
    order.description = "Drive firmware";
    order.lines = FourLines("Second", 17, "TWO.BIN", "TWO.B86");
    for (const StepsLine& line : FourLines("First", 197, "ONE.BIN", "ONE.B86")) {
        order.lines.push_back(line);
    }
    order.steps = {{"TWO.BIN", "TWO.B86", 17}, {"ONE.BIN", "ONE.B86", 0xC5}};
    cases.push_back(order);

    ConfigurationCase description =
        Case("DescriptionKeyInAnyCaseIsNoStep",
             Cfg({"[LoadingSteps]", "DESCRIPTION=Upper", "Step1=Only", "description=Second", "[STEP1]",
                  "BootFile=B.BIN", "Firmware=F.B86"}));
    description.currentFiles = {"B.BIN", "F.B86"};
    description.description = "Upper";
    description.lines = FourLines("Only", 0, "B.BIN", "F.B86");
    description.steps = {{"B.BIN", "F.B86", 0}};
    cases.push_back(description);

    for (const char* value : {"Step1=", "Step1=   "}) {
        ConfigurationCase empty =
            Case(value[6] == '\0' ? "EmptyTitleShowsKeyName" : "BlankTitleShowsKeyName",
                 Cfg({"[LoadingSteps]", value, "[Step1]", "BootFile=B.BIN", "Firmware=F.B86"}));
        empty.currentFiles = {"B.BIN", "F.B86"};
        empty.description = "<{path}>";
        empty.lines = FourLines("Step1", 0, "B.BIN", "F.B86");
        empty.steps = {{"B.BIN", "F.B86", 0}};
        cases.push_back(empty);
    }

    ConfigurationCase comments =
        Case("CommentsAndQuotes", Cfg({"[LoadingSteps]", "; Step9=Commented out", "Step1=\"Quoted\"",
                                       "[Step1]", "BootFile = \"B.BIN\"", "Firmware='F.B86'"}));
    comments.currentFiles = {"B.BIN", "F.B86"};
    comments.description = "<{path}>";
    comments.lines = FourLines("Quoted", 0, "B.BIN", "F.B86");
    comments.steps = {{"B.BIN", "F.B86", 0}};
    cases.push_back(comments);
}

void AddAckBytes(std::vector<ConfigurationCase>& cases) {
    const struct {
        const char* name;
        const char* line;
        uint32_t shown;
        unsigned expected;
    } acks[] = {
        {"AckByteAbsent", "", 0, 0x00},           {"AckByte197", "AckByte=197", 197, 0xC5},
        {"AckByte300", "AckByte=300", 300, 0x2C}, {"AckByteNegative", "AckByte=-5", 0, 0x00},
        {"AckByteText", "AckByte=none", 0, 0x00}, {"AckByteHex", "AckByte=0x55", 0x55, 0x55},
    };
    for (const auto& ack : acks) {
        ConfigurationCase c = OneStep(ack.name, {ack.line, "BootFile=B.BIN", "Firmware=F.B86"});
        c.currentFiles = {"B.BIN", "F.B86"};
        c.lines = FourLines("Load", ack.shown, "B.BIN", "F.B86");
        c.steps = {{"B.BIN", "F.B86", ack.expected}};
        cases.push_back(c);
    }
}

void AddFileResolution(std::vector<ConfigurationCase>& cases) {
    ConfigurationCase beside =
        OneStep("BootFileBesideConfiguration", {"BootFile=BOOT.BIN", "Firmware=FW.B86"});
    beside.besideFiles = {"BOOT.BIN"};
    beside.currentFiles = {"FW.B86"};
    beside.lines = FourLines("Load", 0, "BOOT.BIN", "FW.B86");
    beside.steps = {{"{cfg}BOOT.BIN", "FW.B86", 0}};
    cases.push_back(beside);

    ConfigurationCase both = OneStep("CurrentDirectoryWins", {"BootFile=BOOT.BIN", "Firmware=FW.B86"});
    both.currentFiles = {"BOOT.BIN"};
    both.besideFiles = {"BOOT.BIN", "FW.B86"};
    both.lines = FourLines("Load", 0, "BOOT.BIN", "FW.B86");
    both.steps = {{"BOOT.BIN", "{cfg}FW.B86", 0}};
    cases.push_back(both);

    ConfigurationCase sub =
        OneStep("SubFolderBesideConfiguration", {"BootFile=sub\\BOOT.BIN", "Firmware=FW.B86"});
    sub.besideFiles = {"sub\\BOOT.BIN", "FW.B86"};
    sub.lines = FourLines("Load", 0, "sub\\BOOT.BIN", "FW.B86");
    sub.steps = {{"{cfg}sub\\BOOT.BIN", "{cfg}FW.B86", 0}};
    cases.push_back(sub);

    ConfigurationCase absolute = OneStep("AbsolutePath", {"BootFile={cfg}ABS.BIN", "Firmware={cfg}FW.B86"});
    absolute.besideFiles = {"ABS.BIN", "FW.B86"};
    absolute.lines = FourLines("Load", 0, "{cfg}ABS.BIN", "{cfg}FW.B86");
    absolute.steps = {{"{cfg}ABS.BIN", "{cfg}FW.B86", 0}};
    cases.push_back(absolute);

    ConfigurationCase nowhere = OneStep("FirmwareFoundNowhere", {"BootFile=BOOT.BIN", "Firmware=FW.B86"});
    nowhere.currentFiles = {"BOOT.BIN"};
    nowhere.lines = FourLines("Load", 0, "BOOT.BIN", "FW.B86");
    nowhere.lines.push_back(Catalogued(IDS_B86_NOT_EXIST, "FW.B86"));
    nowhere.steps = {{"BOOT.BIN", "FW.B86", 0}};
    nowhere.valid = false;
    cases.push_back(nowhere);

    ConfigurationCase unreadable = OneStep("BinThatIsAFolder", {"BootFile=BOOT.BIN", "Firmware=FW.B86"});
    unreadable.besideFolders = {"BOOT.BIN"};
    unreadable.currentFiles = {"FW.B86"};
    unreadable.lines = FourLines("Load", 0, "BOOT.BIN", "FW.B86");
    unreadable.lines.push_back(Catalogued(IDS_FAILED_READ_BIN, "BOOT.BIN"));
    unreadable.steps = {{"BOOT.BIN", "FW.B86", 0}};
    unreadable.valid = false;
    cases.push_back(unreadable);
}

void AddMissingParts(std::vector<ConfigurationCase>& cases) {
    ConfigurationCase lost = Case("MissingStepSection", Cfg({"[LoadingSteps]", "Step1=Lost"}));
    lost.description = "<{path}>";
    lost.lines = FourLines("Lost", 0, "", "");
    lost.lines.push_back(Catalogued(IDS_NO_BIN_SPECIFIED));
    lost.lines.push_back(Catalogued(IDS_NO_B86_SPECIFIED));
    lost.steps = {{"", "", 0}};
    lost.valid = false;
    cases.push_back(lost);

    ConfigurationCase oneBad =
        Case("OneStepWithoutBinFailsAll",
             Cfg({"[LoadingSteps]", "Step1=Good", "Step2=Bad", "Step3=Good too", "[Step1]",
                  "BootFile=ONE.BIN", "Firmware=ONE.B86", "[Step2]", "BootFile=TWO.BIN", "Firmware=TWO.B86",
                  "[Step3]", "BootFile=ONE.BIN", "Firmware=ONE.B86"}));
    oneBad.currentFiles = {"ONE.BIN", "ONE.B86", "TWO.B86"};
    oneBad.description = "<{path}>";
    oneBad.lines = FourLines("Good", 0, "ONE.BIN", "ONE.B86");
    for (const StepsLine& line : FourLines("Bad", 0, "TWO.BIN", "TWO.B86")) {
        oneBad.lines.push_back(line);
    }
    oneBad.lines.push_back(Catalogued(IDS_BIN_NOT_EXIST, "TWO.BIN"));
    for (const StepsLine& line : FourLines("Good too", 0, "ONE.BIN", "ONE.B86")) {
        oneBad.lines.push_back(line);
    }
    oneBad.steps = {{"ONE.BIN", "ONE.B86", 0}, {"TWO.BIN", "TWO.B86", 0}, {"ONE.BIN", "ONE.B86", 0}};
    oneBad.valid = false;
    cases.push_back(oneBad);

    ConfigurationCase none = Case("DescriptionOnly", Cfg({"[LoadingSteps]", "Description=Nothing to do"}));
    none.description = "Nothing to do";
    none.parsed = false;
    cases.push_back(none);

    ConfigurationCase other = Case("NoLoadingStepsSection", Cfg({"[Other]", "Step1=x"}));
    other.description = "<{path}>";
    other.parsed = false;
    cases.push_back(other);
}

void AddLimits(std::vector<ConfigurationCase>& cases) {
    ConfigurationCase description =
        Case("DescriptionCutTo2046", Cfg({"[LoadingSteps]", "Description=" + std::string(3000, 'd')}));
    description.description = std::string(2046, 'd');
    description.parsed = false;
    cases.push_back(description);

    const std::string longName(300, 'b');
    ConfigurationCase fileName = OneStep("FileNameCutTo259", {"BootFile=" + longName, "Firmware=F.B86"});
    fileName.currentFiles = {"F.B86"};
    fileName.lines = FourLines("Load", 0, longName.substr(0, 259), "F.B86");
    fileName.lines.push_back(Catalogued(IDS_BIN_NOT_EXIST, longName.substr(0, 259)));
    fileName.steps = {{longName.substr(0, 259), "F.B86", 0}};
    fileName.valid = false;
    cases.push_back(fileName);

    // The 4095-byte key list ends in "Step12" cut to "Step1": no second run of Step1.
    ConfigurationCase cut =
        Case("CutStepNameIsNoStep", Cfg({"[LoadingSteps]", "Step1=First", std::string(4081, 'K') + "=x",
                                         "Step12=Twelfth", "[Step1]", "BootFile=B.BIN", "Firmware=F.B86"}));
    cut.currentFiles = {"B.BIN", "F.B86"};
    cut.description = "<{path}>";
    cut.lines = FourLines("First", 0, "B.BIN", "F.B86");
    for (const StepsLine& line : FourLines("x", 0, "", "")) {
        cut.lines.push_back(line);
    }
    cut.lines.push_back(Catalogued(IDS_NO_BIN_SPECIFIED));
    cut.lines.push_back(Catalogued(IDS_NO_B86_SPECIFIED));
    cut.steps = {{"B.BIN", "F.B86", 0}, {"", "", 0}};
    cut.valid = false;
    cases.push_back(cut);

    ConfigurationCase title = Case("TitleCutTo2046", Cfg({"[LoadingSteps]", "Step1=" + std::string(3000, 't'),
                                                          "[Step1]", "BootFile=B.BIN", "Firmware=F.B86"}));
    title.currentFiles = {"B.BIN", "F.B86"};
    title.description = "<{path}>";
    title.lines = FourLines(std::string(2046, 't'), 0, "B.BIN", "F.B86");
    title.steps = {{"B.BIN", "F.B86", 0}};
    cases.push_back(title);
}

std::string Junk(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random() & 0xFF);
    }
    return bytes;
}

std::string ManySteps(int count) {
    std::string cfg = "[LoadingSteps]\n";
    for (int i = 0; i < count; ++i) {
        cfg += "S" + std::to_string(i) + "=t\n";
    }
    return cfg;
}

std::string Utf16LittleEndian(const std::string& ascii) {
    std::string bytes = "\xFF\xFE";
    for (char c : ascii) {
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

AnyFileCase AnyFile(std::string name, std::function<std::string()> content, int steps = -1,
                    std::string description = "") {
    AnyFileCase c;
    c.name = std::move(name);
    c.content = std::move(content);
    c.steps = steps;
    c.description = std::move(description);
    return c;
}

bool WithinLimit(const std::string& value, const std::string& folder, size_t limit) {
    const bool resolved = value.compare(0, folder.size(), folder) == 0;
    return (resolved ? value.size() - folder.size() : value.size()) <= limit;
}

} // namespace

StepsLine Title(std::string text) {
    StepsLine line;
    line.text = std::move(text);
    return line;
}

StepsLine Catalogued(unsigned id) {
    StepsLine line;
    line.id = id;
    return line;
}

StepsLine Catalogued(unsigned id, uint32_t number) {
    StepsLine line;
    line.id = id;
    line.hasNumber = true;
    line.number = number;
    return line;
}

StepsLine Catalogued(unsigned id, std::string text) {
    StepsLine line;
    line.id = id;
    line.text = std::move(text);
    return line;
}

std::ostream& operator<<(std::ostream& out, const StepFields& step) {
    return out << "{" << step.bootFile << ", " << step.firmwareFile << ", " << step.connectAck << "}";
}

void PrintTo(const ConfigurationCase& c, std::ostream* out) {
    *out << c.name;
}

void PrintTo(const AnyFileCase& c, std::ostream* out) {
    *out << c.name;
}

std::vector<ConfigurationCase> ConfigurationCases() {
    std::vector<ConfigurationCase> cases;
    AddOrderAndNames(cases);
    AddAckBytes(cases);
    AddFileResolution(cases);
    AddMissingParts(cases);
    AddLimits(cases);
    return cases;
}

ConfigurationOutcome RunConfigurationCase(const ConfigurationCase& c, const ConfigurationContext& context,
                                          const CaseFolders& folders) {
    MadeFiles made;
    for (const std::string& name : c.currentFiles) {
        made.File(folders.current, name, "data");
    }
    for (const std::string& name : c.besideFiles) {
        made.File(folders.configuration, name, "data");
    }
    for (const std::string& name : c.besideFolders) {
        made.Folder(folders.configuration, name);
    }
    const std::string fileName = c.name + ".cfg";
    made.File(folders.configuration, fileName, Replace(c.cfg, "{cfg}", folders.configuration));

    Configuration configuration(context, folders.configuration + fileName);
    RecordingStepsList list;
    ConfigurationOutcome outcome;
    outcome.parsed = configuration.ParseSteps(list);
    outcome.description = configuration.Description();
    outcome.lines = list.lines;
    for (const auto& step : configuration.Steps()) {
        outcome.steps.push_back({step->bootFile, step->firmwareFile, step->connectAck});
    }
    outcome.valid = configuration.Validate();
    return outcome;
}

ConfigurationOutcome ExpectedOutcome(const ConfigurationCase& c, const ITextCatalogue& texts,
                                     const CaseFolders& folders) {
    const auto folder = [&folders](const std::string& text) {
        return Replace(text, "{cfg}", folders.configuration);
    };
    ConfigurationOutcome expected;
    expected.description = Replace(c.description, "{path}", folders.configuration + c.name + ".cfg");
    expected.parsed = c.parsed;
    for (const StepsLine& line : c.lines) {
        if (line.id == 0) {
            expected.lines.push_back(folder(line.text));
        } else if (line.hasNumber) {
            expected.lines.push_back(texts.Format(line.id, {line.number}));
        } else {
            expected.lines.push_back(texts.Format(line.id, {folder(line.text)}));
        }
    }
    for (const StepFields& step : c.steps) {
        expected.steps.push_back({folder(step.bootFile), folder(step.firmwareFile), step.connectAck});
    }
    expected.valid = c.valid;
    return expected;
}

std::vector<AnyFileCase> AnyFileCases() {
    const auto fixed = [](std::string bytes) { return [bytes = std::move(bytes)] { return bytes; }; };
    const auto tenMegabytes = [] { return std::string(10'000'000, 'x'); };
    std::vector<AnyFileCase> cases = {
        AnyFile("BinaryJunk", [] { return Junk(1 << 20, 1); }),
        AnyFile("JunkAfterSteps", [] { return "[LoadingSteps]\r\nStep1=One\r\n" + Junk(1 << 18, 2); }),
        AnyFile(
            "TenMegabyteDescription",
            [=] { return "[LoadingSteps]\r\nDescription=" + tenMegabytes() + "\r\nStep1=T\r\n"; }, 1,
            std::string(2046, 'x')),
        AnyFile(
            "TenMegabyteTitle", [=] { return "[LoadingSteps]\r\nStep1=" + tenMegabytes() + "\r\n"; }, 1,
            "<{path}>"),
        AnyFile(
            "TenMegabyteFileNames",
            [=] {
                return "[LoadingSteps]\r\nStep1=T\r\n[Step1]\r\nBootFile=" + tenMegabytes() +
                       "\r\nFirmware=" + tenMegabytes();
            },
            1),
        AnyFile("NoLineEnds", fixed("[LoadingSteps]Description=x Step1=y [Step1]AckByte=5"), 0, "<{path}>"),
        AnyFile(
            "OneEndlessLine", [] { return "[LoadingSteps]\r\n" + std::string(1 << 20, ';') + "Step1=y"; }, 0,
            "<{path}>"),
        AnyFile(
            "OneEndlessStep", [=] { return "[LoadingSteps]\r\nStep1=" + tenMegabytes(); }, 1),
        AnyFile("NulBytes",
                fixed("[LoadingSteps]\0\r\nStep1=A\0B\r\n\0Step2=C\r\n[Step1]\r\nAckByte=1\0"
                      "97\r\nBootFile=\0\r\n"s),
                2),
        AnyFile("OnlyNulBytes", fixed(std::string(1 << 16, '\0')), 0, "<{path}>"),
        AnyFile("CarriageReturnOnly",
                fixed("[LoadingSteps]\rStep1=A\rStep2=B\rStep3=C\r[Step1]\rAckByte=1\r"), 3, "<{path}>"),
        // Names S0 to S839 fill the 4095-byte key list; S840, cut to "S84", is left out.
        AnyFile("ManySteps", fixed(ManySteps(3000)), 840, "<{path}>"),
        AnyFile("EmptyFile", fixed(""), 0, "<{path}>"),
        AnyFile("Utf16File", fixed(Utf16LittleEndian("[LoadingSteps]\r\nDescription=Wide\r\nStep1=A\r\n")), 1,
                "Wide"),
        AnyFile("FirstKeyWithoutName", fixed("[LoadingSteps]\n=x\nStep1=y\n"), 0, "<{path}>"),
        AnyFile("HugeAckByte", fixed("[LoadingSteps]\nStep1=y\n[Step1]\nAckByte=99999999999999999999\n"), 1),
    };
    AnyFileCase missing = AnyFile("MissingFile", fixed(""), 0, "<{path}>");
    missing.file = AnyFileCase::File::Missing;
    cases.push_back(missing);
    AnyFileCase folder = AnyFile("FolderAsFile", fixed(""), 0, "<{path}>");
    folder.file = AnyFileCase::File::Folder;
    cases.push_back(folder);
    return cases;
}

AnyFileOutcome ReadAnyFile(const AnyFileCase& c, const ConfigurationContext& context,
                           const std::string& folder) {
    MadeFiles made;
    const std::string fileName = c.name + ".cfg";
    if (c.file == AnyFileCase::File::Written) {
        made.File(folder, fileName, c.content());
    } else if (c.file == AnyFileCase::File::Folder) {
        made.Folder(folder, fileName);
    }
    AnyFileOutcome outcome;
    outcome.path = folder + fileName;
    Configuration configuration(context, outcome.path);
    RecordingStepsList list;
    outcome.read.parsed = configuration.ParseSteps(list);
    outcome.read.description = configuration.Description();
    outcome.read.lines = list.lines;
    for (const auto& step : configuration.Steps()) {
        outcome.read.steps.push_back({step->bootFile, step->firmwareFile, step->connectAck});
    }
    outcome.read.valid = configuration.Validate();
    for (LoadingStep* step = configuration.FirstStep(); step != nullptr; step = configuration.NextStep()) {
        ++outcome.walked;
    }
    outcome.noneAgain = configuration.NextStep() == nullptr && configuration.CurrentStep() == nullptr;
    return outcome;
}

std::string BrokenRule(const AnyFileCase& c, const AnyFileOutcome& outcome) {
    const ConfigurationOutcome& read = outcome.read;
    const size_t steps = read.steps.size();
    const std::string shownPath = "<" + outcome.path + ">";
    if (read.description.empty() || (read.description != shownPath && read.description.size() > 2046)) {
        return "description empty or longer than 2046 characters";
    }
    if (read.parsed != (steps > 0)) {
        return "ParseSteps answered against the steps found";
    }
    if (read.lines.size() < 4 * steps || read.lines.size() > 6 * steps) {
        return "not four to six lines per step";
    }
    if (outcome.walked != steps || !outcome.noneAgain) {
        return "FirstStep and NextStep did not visit each step once";
    }
    const std::string folder = outcome.path.substr(0, outcome.path.size() - (c.name.size() + 4));
    for (const StepFields& step : read.steps) {
        if (!WithinLimit(step.bootFile, folder, 259) || !WithinLimit(step.firmwareFile, folder, 259)) {
            return "a file name longer than 259 characters";
        }
    }
    if (c.steps >= 0 && steps != static_cast<size_t>(c.steps)) {
        return std::to_string(steps) + " steps instead of " + std::to_string(c.steps);
    }
    if (!c.description.empty() && read.description != Replace(c.description, "{path}", outcome.path)) {
        return "description \"" + read.description.substr(0, 80) + "\"";
    }
    return std::string();
}

void ExpectConfigurationCase(const ConfigurationCase& c, const ConfigurationContext& context,
                             const ITextCatalogue& texts, const CaseFolders& folders) {
    const ConfigurationOutcome outcome = RunConfigurationCase(c, context, folders);
    const ConfigurationOutcome expected = ExpectedOutcome(c, texts, folders);
    EXPECT_EQ(outcome.description, expected.description);
    EXPECT_EQ(outcome.parsed, expected.parsed);
    EXPECT_EQ(outcome.lines, expected.lines);
    EXPECT_EQ(outcome.steps, expected.steps);
    EXPECT_EQ(outcome.valid, expected.valid);
}
