#include "ui/PortSummary.h"

#include "app/TextFormat.h"

std::string PortSummary(const std::string& portName, const PortSettings& settings) {
    static const char kParityLetters[] = {'N', 'O', 'E', 'M', 'S'};
    static const char* const kStopBitTexts[] = {"1", "1,5", "2"};
    // Codes outside the tables come from a hand-edited store: shown as '?', never read past.
    char parity = settings.parity < sizeof kParityLetters ? kParityLetters[settings.parity] : '?';
    const char* stopBits = settings.stopBits < 3 ? kStopBitTexts[settings.stopBits] : "?";
    return FormatText("%s: %ld, %d%c%s",
                      {portName, settings.baudRate, unsigned(settings.dataSize), parity, stopBits});
}
