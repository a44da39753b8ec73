#pragma once

// Windows-1252, the ANSI code page of the program's texts, converted as the platform converts
// it: every byte has one UTF-16 unit, and a unit without a byte of its own takes its best-fit
// byte (U+0100 gives 'A') or '?'.
char16_t AnsiToWide(unsigned char byte);
unsigned char WideToAnsi(char16_t unit);
