#include "app/VersionText.h"

#include "app/TextFormat.h"

void ShortenVersion(std::string& text, bool full) {
    size_t position = 0;
    int commas = 0;
    // A cut leaves the position behind the new end, which ends the walk.
    while (position < text.size()) {
        char c = text[position];
        if (c == ',') {
            if (full || commas == 0) {
                text[position] = '.';
            } else {
                text.resize(position);
            }
            ++position;
            ++commas;
        } else if (c == ' ') {
            text.erase(position, 1); // the character moved in is looked at next
        } else {
            ++position;
        }
    }
}

std::string VersionLine(const std::string& internalName, const std::string& shortFileVersion) {
    return FormatText("%s, V%s", {internalName, shortFileVersion}) + " R";
}
