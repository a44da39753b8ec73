#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

// One argument of a printf-style catalogue text. Numbers are 32-bit, as the Windows
// program passes them; texts are single-byte strings.
class FormatArg {
public:
    FormatArg(int value) : number(static_cast<uint32_t>(value)) {}
    FormatArg(unsigned value) : number(value) {}
    FormatArg(long value) : number(static_cast<uint32_t>(value)) {}
    FormatArg(unsigned long value) : number(static_cast<uint32_t>(value)) {}
    FormatArg(char value) : number(static_cast<unsigned char>(value)), isChar(true) {}
    FormatArg(const char* value) : text(value ? value : ""), isText(true) {}
    FormatArg(const std::string& value) : text(value), isText(true) {}

    uint32_t number = 0;
    std::string text;
    bool isText = false;
    bool isChar = false;
};

// Formats a printf-style text whose conversions (%s %d %i %u %x %X %c %ld %%, flags '-' '0',
// width and precision) are filled from the typed arguments. Texts come from resource
// libraries and command lines, so the formatter never trusts them: a conversion without an
// argument, or of the wrong kind, is filled safely instead of reading past the arguments.
std::string FormatText(const std::string& format, std::initializer_list<FormatArg> args = {});
