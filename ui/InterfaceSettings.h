#pragma once

#include "app/Catalogue.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// The baud rates the interface settings dialog offers, in the order offered: the catalogue
// text shown for each and the rate it stands for.
struct BaudChoice {
    unsigned textId;
    int value;
};
constexpr size_t kBaudChoiceCount = 6;
extern const BaudChoice kBaudChoices[kBaudChoiceCount];

// The position in kBaudChoices of the rate, or -1 when it is not offered.
int BaudChoiceIndex(int baudRate);

// The rate whose catalogue text equals the chosen text exactly, compared from the last
// choice to the first; the current rate when none does. An empty text (nothing chosen) never
// matches, not even a text that a language library lacks.
int BaudRateForText(const std::string& text, const ITextCatalogue& catalogue, int currentRate);

// The names in a QueryDosDeviceA result (zero-terminated names, `size` characters in all)
// whose first three characters are exactly "COM", in the order given.
std::vector<std::string> ComPortNames(const char* names, size_t size);

// What the port combo box receives: the system's names, then the current port when the list
// holds no name equal to it without regard to case; and the edit text. The edit text is the
// current port when a listed name equals it exactly or when it was added; a name that differs
// from it only in case is neither added nor shown.
struct PortListPlan {
    std::vector<std::string> items;
    std::optional<std::string> editText;
};
PortListPlan PlanPortList(const std::vector<std::string>& systemNames, const std::string& portName);
