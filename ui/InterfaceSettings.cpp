#include "ui/InterfaceSettings.h"

#include "app/MessageIds.h"
#include "app/TextUtil.h"

#include <cstring>

const BaudChoice kBaudChoices[kBaudChoiceCount] = {
    {IDS_BAUD_9600, 9600},   {IDS_BAUD_14400, 14400}, {IDS_BAUD_19200, 19200},
    {IDS_BAUD_38400, 38400}, {IDS_BAUD_57600, 57600}, {IDS_BAUD_115200, 115200},
};

int BaudChoiceIndex(int baudRate) {
    for (size_t i = 0; i < kBaudChoiceCount; ++i) {
        if (kBaudChoices[i].value == baudRate) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int BaudRateForText(const std::string& text, const ITextCatalogue& catalogue, int currentRate) {
    if (text.empty()) {
        return currentRate;
    }
    for (size_t i = kBaudChoiceCount; i-- > 0;) {
        if (catalogue.LoadText(kBaudChoices[i].textId) == text) {
            return kBaudChoices[i].value;
        }
    }
    return currentRate;
}

std::vector<std::string> ComPortNames(const char* names, size_t size) {
    std::vector<std::string> ports;
    size_t position = 0;
    while (position < size && names[position] != '\0') {
        // The last name may lack its zero when the result filled the buffer exactly.
        size_t length = ::strnlen(names + position, size - position);
        if (length >= 3 && std::memcmp(names + position, "COM", 3) == 0) {
            ports.emplace_back(names + position, length);
        }
        position += length + 1;
    }
    return ports;
}

PortListPlan PlanPortList(const std::vector<std::string>& systemNames, const std::string& portName) {
    PortListPlan plan;
    bool listed = false;
    for (const std::string& name : systemNames) {
        plan.items.push_back(name);
        if (name == portName) {
            plan.editText = portName;
        }
        listed = listed || EqualsNoCase(name, portName);
    }
    if (!portName.empty() && !listed) {
        plan.items.push_back(portName);
        plan.editText = portName;
    }
    return plan;
}
