#include "ui/TraceRules.h"

bool ContinuesLine(const std::string& last, const std::string& text) {
    return text.size() >= last.size() && text.compare(0, last.size(), last) == 0;
}

bool DrawnInTraceColor(const std::string& line) {
    return line.empty() || line[0] != '*';
}
