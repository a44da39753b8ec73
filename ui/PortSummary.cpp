#include "ui/PortSummary.h"

#include "app/TextFormat.h"

std::string PortSummary(const std::string& portName, int baudRate, int dataSize, int parity, int stopBits) {
    static const char kParityLetters[] = {'N', 'O', 'E', 'M', 'S'};
    static const char* const kStopBitTexts[] = {"1", "1,5", "2"};
    // Codes outside the tables come from a hand-edited store: shown as '?', never read past.
    char parityLetter = parity >= 0 && parity < 5 ? kParityLetters[parity] : '?';
    const char* stopBitText = stopBits >= 0 && stopBits < 3 ? kStopBitTexts[stopBits] : "?";
    return FormatText("%s: %ld, %d%c%s", {portName, baudRate, dataSize, parityLetter, stopBitText});
}

std::string PortSummary(const std::string& portName, const PortSettings& settings) {
    return PortSummary(portName, static_cast<int>(settings.baudRate), settings.dataSize, settings.parity,
                       settings.stopBits);
}
