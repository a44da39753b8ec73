#pragma once

#include <string>

// Text comparison without regard to case, as _stricmp does it in the "C" locale.
bool EqualsNoCase(const std::string& a, const std::string& b);
