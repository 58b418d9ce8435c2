// printf-style formatting and number parsing in the "C" locale, whatever
// locale the host has set: numbers written into SQL text, JSON, CSV or MDF
// texts always use a full stop.
#pragma once

#include <string>

std::string FormatC(char const* format, ...) __attribute__((format(printf, 1, 2)));
std::wstring FormatCW(wchar_t const* format, ...);
// strtod in the "C" locale.
double StrtodC(char const* text, char** end);
