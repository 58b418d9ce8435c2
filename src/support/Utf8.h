// UTF-8 encoding of wide text, independent of the C locale: every text that
// crosses into or out of SQLite is UTF-8.
#pragma once

#include <cstdint>
#include <string>

// Code points that are no Unicode scalar value (surrogates, above U+10FFFF)
// become U+FFFD.
std::string Utf8FromWide(wchar_t const* text, size_t length);
std::string Utf8FromWide(std::wstring const& text);
// Malformed sequences become U+FFFD, one per offending byte.
std::wstring WideFromUtf8(char const* text, size_t length);
std::wstring WideFromUtf8(std::string const& text);

// Whether the current C locale's narrow text is taken as UTF-8: a UTF-8
// locale, or the ASCII-only "C"/"POSIX" locale.
bool LocaleTextIsUtf8();

// The UTF-8 sequence at text[i] (of length bytes): its length and code point,
// or 0 when it is malformed, overlong, a surrogate or above U+10FFFF.
size_t DecodeUtf8(char const* text, size_t length, size_t i, uint32_t& code);
// Appends the UTF-8 form of a Unicode scalar value.
void AppendUtf8(std::string& out, uint32_t code);
