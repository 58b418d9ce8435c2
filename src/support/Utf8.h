// UTF-8 encoding of wide text, independent of the C locale: every text that
// crosses into or out of SQLite is UTF-8.
#pragma once

#include <string>

// Code points that are no Unicode scalar value (surrogates, above U+10FFFF)
// become U+FFFD.
std::string Utf8FromWide(wchar_t const* text, size_t length);
std::string Utf8FromWide(std::wstring const& text);
// Malformed sequences become U+FFFD, one per offending byte.
std::wstring WideFromUtf8(char const* text, size_t length);
std::wstring WideFromUtf8(std::string const& text);
