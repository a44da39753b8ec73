#include "config/Configuration.h"

#include "app/MessageIds.h"
#include "app/TextUtil.h"
#include "config/PathUtil.h"

#include <vector>

namespace {

const char kLoadingSteps[] = "LoadingSteps";
constexpr unsigned kKeyListSize = 4095;
constexpr unsigned kTextSize = 2047;
constexpr unsigned kFileNameSize = 260;

} // namespace

bool LoadingStep::Validate(const IFileSystem& files) const {
    return !bootFile.empty() && !firmwareFile.empty() && files.FileReadable(bootFile) &&
           files.FileReadable(firmwareFile);
}

Configuration::Configuration(const ConfigurationContext& context, const std::string& path)
    : context(context), path(path) {
    description = context.profile.ReadString(kLoadingSteps, "Description", "", kTextSize, path);
    if (description.empty()) {
        description = FormatText("<%s>", {path});
    }
}

bool Configuration::ParseSteps(IStepsList& stepsList) {
    stepsList.ResetContent();
    steps.clear();
    cursor = 0;

    std::vector<char> keys(kKeyListSize + 1, '\0');
    unsigned length = context.profile.GetString(kLoadingSteps, nullptr, "", keys.data(), kKeyListSize, path);
    if (length > kKeyListSize) {
        length = kKeyListSize;
    }
    // A list that did not fit comes back as size - 2 characters with its last name cut short
    // ("Step12" as "Step1"); that name is not one of the file's steps.
    const bool cut = length == kKeyListSize - 2;
    bool found = false;
    for (unsigned position = 0; position < length;) {
        std::string name(keys.data() + position);
        position += static_cast<unsigned>(name.size()) + 1;
        if (cut && position > length) {
            break;
        }
        if (EqualsNoCase(name, "Description")) {
            continue;
        }
        found = true;
        ReadStep(name, stepsList);
    }
    cursor = steps.size();
    return found;
}

void Configuration::ReadStep(const std::string& name, IStepsList& stepsList) {
    const ITextCatalogue& texts = context.catalogue;
    std::string title = context.profile.ReadString(kLoadingSteps, name.c_str(), "", kTextSize, path);
    stepsList.AddString(title.empty() ? name : title);

    steps.push_back(std::make_unique<LoadingStep>());
    LoadingStep& step = *steps.back();
    step.title = title.empty() ? name : title;

    unsigned ackByte = context.profile.GetInt(name.c_str(), "AckByte", 0, path);
    step.connectAck = static_cast<uint8_t>(ackByte & 0xFF);
    stepsList.AddString(texts.Format(IDS_STEP_CONNECT, {ackByte}));

    step.bootFile = context.profile.ReadString(name.c_str(), "BootFile", "", kFileNameSize, path);
    stepsList.AddString(texts.Format(IDS_STEP_BOOTFILE, {step.bootFile}));
    step.firmwareFile = context.profile.ReadString(name.c_str(), "Firmware", "", kFileNameSize, path);
    stepsList.AddString(texts.Format(IDS_STEP_FIRMWARE, {step.firmwareFile}));

    const PathParts parts = SplitPath(path);
    const std::string configurationDir = parts.drive + parts.dir;
    CheckFile(step.bootFile, IDS_NO_BIN_SPECIFIED, IDS_BIN_NOT_EXIST, IDS_FAILED_READ_BIN, configurationDir,
              stepsList);
    CheckFile(step.firmwareFile, IDS_NO_B86_SPECIFIED, IDS_B86_NOT_EXIST, IDS_FAILED_READ_B86,
              configurationDir, stepsList);
}

// The current directory first, then the configuration's own directory.
void Configuration::CheckFile(std::string& value, unsigned noFileId, unsigned missingId,
                              unsigned unreadableId, const std::string& configurationDir,
                              IStepsList& stepsList) const {
    const ITextCatalogue& texts = context.catalogue;
    if (value.empty()) {
        stepsList.AddString(texts.LoadText(noFileId));
        return;
    }
    if (context.files.FileExists(value)) {
        if (!context.files.FileReadable(value)) {
            stepsList.AddString(texts.Format(unreadableId, {value}));
        }
        return;
    }
    const std::string joined = configurationDir + value;
    if (!context.files.FileExists(joined)) {
        stepsList.AddString(texts.Format(missingId, {value}));
    } else if (context.files.FileReadable(joined)) {
        value = joined;
    } else {
        stepsList.AddString(texts.Format(unreadableId, {value}));
    }
}

bool Configuration::Validate() {
    for (const auto& step : steps) {
        if (!step->Validate(context.files)) {
            return false;
        }
    }
    return true;
}

LoadingStep* Configuration::FirstStep() {
    cursor = 0;
    return CurrentStep();
}

LoadingStep* Configuration::CurrentStep() {
    return cursor < steps.size() ? steps[cursor].get() : nullptr;
}

LoadingStep* Configuration::NextStep() {
    if (cursor < steps.size()) {
        ++cursor;
    }
    return CurrentStep();
}
