#include "app/Language.h"

#include "app/TextFormat.h"
#include "app/TextUtil.h"

const LanguageRow kLanguageTable[kLanguageCount] = {
    {0, "DEU", "German"}, {1, "ENG", "English"}, {2, "ESP", "Spanish"},
    {3, "FRA", "French"}, {4, "ITA", "Italian"},
};

int LanguageFromLcid(uint32_t lcid) {
    switch (lcid & 0x3FF) {
    case 0x07:
        return 0;
    case 0x0A:
        return 2;
    case 0x0C:
        return 3;
    case 0x10:
        return 4;
    default:
        return 1;
    }
}

LanguageChoice SelectLanguage(ILanguageHost& host) {
    LanguageChoice choice;
    int number = -1;
    std::optional<std::string> current;
    std::optional<std::string> sysPath;
    std::string hostFolder;
    if (host.ReadHostKey(current, sysPath)) {
        if (current) {
            // Italian down to German; the value holds the language's name, not its code.
            for (int row = kLanguageCount - 1; row >= 0; --row) {
                if (EqualsNoCase(*current, kLanguageTable[row].name)) {
                    number = kLanguageTable[row].number;
                    choice.code = kLanguageTable[row].code;
                    break;
                }
            }
        }
        hostFolder = sysPath.value_or("");
    }
    if (number == -1) {
        number = LanguageFromLcid(host.UserDefaultLcid());
    }
    choice.number = number;
    if (number == 0) {
        return choice;
    }
    const std::string nearProgram = FormatText("%s\\Tovrin%d.DLL", {host.ProgramFolder(), number});
    if (host.FileExists(nearProgram)) {
        choice.libraryPath = nearProgram;
    } else if (!hostFolder.empty()) {
        choice.libraryPath = FormatText("%s\\OCX\\Tovrin\\Tovrin%d.DLL", {hostFolder, number});
    } else {
        choice.libraryPath = FormatText("Tovrin%d.DLL", {number});
    }
    return choice;
}
