#pragma once

#include <string>

// Rewrites a version text of the version block for display: spaces go, the first comma becomes
// a point, and a later comma ends the text ("1, 5, 0, 1" gives "1.5"); with `full`, every comma
// becomes a point ("1.5.0.1").
void ShortenVersion(std::string& text, bool full);

// The program's version line: "%s, V%s" with the internal name and the shortened file
// version, followed by " R".
std::string VersionLine(const std::string& internalName, const std::string& shortFileVersion);
