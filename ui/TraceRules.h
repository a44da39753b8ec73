#pragma once

#include <string>

// The message list's rules that need no window.

// A device-output line grows one character at a time: `text` replaces the last line when it
// begins with that whole line (exact bytes); a shorter text never continues a longer line.
bool ContinuesLine(const std::string& last, const std::string& text);

// The program's own status lines begin with '*' and keep the normal text colour; every other
// line (device output, an empty line) is drawn in the device-trace colour.
bool DrawnInTraceColor(const std::string& line);
