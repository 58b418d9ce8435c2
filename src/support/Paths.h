// File-system paths. A file is named by the bytes of its path, whatever the
// locale makes of them, and every path of every call must reach the file
// system byte for byte.
//
// A narrow path is those bytes. A wide path is their decoding in the current
// locale (UTF-8 in the "C"/"POSIX" locale, as for texts), where each byte that
// starts no character is held as the lone surrogate U+DC80..U+DCFF of its
// value (0x80..0xFF), the convention Python hosts use for undecodable names.
// So every narrow path has a wide form that names the same file, and a wide
// path either has exactly one byte form or none: a character the locale
// cannot encode, or a surrogate outside U+DC80..U+DCFF, names no file.
//
// Texts are converted by mbstring and widestring (LibUtils.h); paths only by
// these functions.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>

// Narrow path → wide path, exact; null gives an empty path.
std::wstring WidePath(char const* bytes);
std::wstring WidePath(std::string const& bytes);

// Wide path → the bytes the file system sees; nothing when a character has no
// exact byte form, or for null.
std::optional<std::string> PathBytes(wchar_t const* path);
std::optional<std::string> PathBytes(std::wstring const& path);

// The check at an entry point: true when every path given (nulls are
// skipped) has a byte form; otherwise false, after the diagnostic line
// "Path %s cannot be named exactly in the current locale" for the first that
// has none. Call it with every path argument (never with a JSON argument,
// which may be JSON text) before anything else is done.
bool CheckPaths(std::initializer_list<wchar_t const*> paths);

// A path for a diagnostic line: its bytes, else its text form.
std::string PathForMessage(wchar_t const* path);
std::string PathForMessage(std::wstring const& path);
