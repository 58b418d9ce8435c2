// printf-style formatting and number parsing whose numbers do not depend on
// the locale the host has set: numbers written into SQL text, JSON, CSV or MDF
// texts always use a full stop. Characters of %s and %ls arguments convert as
// mbstring and widestring convert them.
#pragma once

#include <string>

std::string FormatC(char const* format, ...) __attribute__((format(printf, 1, 2)));
// Both give an empty text when a %s or %ls argument does not convert.
std::wstring FormatCW(wchar_t const* format, ...);
// strtod in the "C" locale.
double StrtodC(char const* text, char** end);
