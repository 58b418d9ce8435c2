// Free functions every subsystem uses: text conversion between wide and
// narrow text, JSON arguments, wildcard matching of names, MAT name cleaning,
// small string helpers, file tests, diagnostics, dates and the settings file.
//
// Narrow text is the current C locale's multibyte form. Paths arrive wide and
// reach the file system through PathBytes (Paths.h), so every file function
// acts on the file whose bytes the path names.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

// ---- Text conversion -------------------------------------------------------

// Wide to narrow through the current C locale. A character the locale cannot
// represent is written as its byte value when it is below 256 and as '?'
// otherwise. The ASCII-only "C"/"POSIX" locale is taken as UTF-8.
std::string mbstring(wchar_t const* text);
std::string mbstring(std::wstring const& text);
// Narrow to wide through the current C locale (UTF-8 in the "C"/"POSIX"
// locale). A byte that does not start a valid multibyte character becomes the
// wide character of the same value (Latin-1, as MDF 3 texts are), and
// conversion goes on after it: nothing is cut or lost.
std::wstring widestring(char const* text);
std::wstring widestring(std::string const& text);

// The one form in which names from JSON documents (channel lists, alias
// lists, signal selections, hit lists) are compared, with each other and
// with the names a database stores: the UTF-8 form of the name read as narrow
// text (widestring). A name written with JSON \u escapes, which give Latin-1
// bytes, and the same name in raw UTF-8 are so one name. An embedded NUL is
// kept: "a\0b" is not "a".
std::string NameKey(std::string const& name);

// Keeps the low 8 bits of each wide character. Returns a process-wide buffer
// that the next call reuses.
char const* ASCIIfromUnicode(wchar_t const* text);
char const* ASCIIfromUnicode(std::wstring const& text);
// mbstowcs of at most count + 1 characters (count < 0: the whole text) into
// a process-wide buffer that the next call reuses.
wchar_t* UnicodefromASCII(char const* text, int count);

// ---- Files -----------------------------------------------------------------

// A path with no byte form (Paths.h) names no file: these fail for it.
bool FileExists(wchar_t const* path);
// Whether anything (a dangling link too) has the name path's bytes give.
bool PathExists(std::string const& path);
bool ExportFileExists(wchar_t const* path);
bool RemoveFile(wchar_t const* path);
bool DeleteFile(wchar_t const* path);
// fopen of a regular file; null for a FIFO, device or folder, which are
// never waited for.
FILE* Owfopen(wchar_t const* path, wchar_t const* mode);
// The same for a path already in bytes; mode as for fopen ('r', 'w', 'a',
// '+', 'b', 't', 'e', 'x'). Mode 'w' truncates only a regular file.
FILE* OpenRegularFile(std::string const& path, char const* mode);
// Reads a whole regular file and closes the stream (also on failure).
bool ReadFileToString(FILE* stream, std::string& out);
// A JSON argument: the name of an existing file (its contents; false without
// a message when it cannot be read) or, when it names no file but holds a
// '{', the JSON text itself; otherwise "Could not open file %s".
bool ReadFileToString(wchar_t const* argument, std::string& out);
// The same for an argument already in bytes (a narrow one): a long JSON text
// needs no wide copy.
bool ReadFileToString(char const* argument, std::string& out);

// ---- Strings ---------------------------------------------------------------

void TrimLeft(std::string& text);
void TrimLeft(std::wstring& text);
void TrimRight(std::wstring& text);
std::wstring Right(std::wstring const& text, size_t count);
// Position of the first character of text that is not in set, or npos.
size_t FindOneOf(std::wstring const& text, std::wstring const& set);
void ReplaceStringInPlace(std::string& text, std::string const& from, std::string const& to);
// Anchored, case-sensitive wildcard match: '?', '*' (zero or more
// characters), '[...]' sets with ranges, '\' escapes. An empty pattern
// matches everything; a malformed pattern matches nothing.
bool MatchField(std::string const& pattern, std::string const& text);
// text with suffix appended, text first cut so that the whole holds at most
// limit bytes; a cut never splits a UTF-8 character.
std::string WithSuffixWithin(std::string const& text, std::string const& suffix, size_t limit);
// Makes a name usable as a MAT variable or field name.
void ScrubMatlabName(std::string& name);
// Gives every name of a list of cleaned MAT variable names its own text, so
// that no variable written later replaces an earlier one: the first of equal
// names keeps it, and a repeat or the reserved name "header" gets "_2", "_3",
// ... (the first number no other name of the list uses), cut so that the
// whole stays within 63 characters.
void MakeMatlabNamesUnique(std::vector<std::string>& names);

// ---- Diagnostics -----------------------------------------------------------

// One line on standard output; the text is written verbatim.
void DebugOutput(char const* text);
// format holds one %s; the line is cut at 1023 bytes.
void DebugOutput1(char const* format, char const* argument);

// ---- Dates -----------------------------------------------------------------

// 100-ns ticks since 1601-01-01 of a time in seconds since 2007-01-01 UTC.
// Saturates: NaN and times before 1601 give 0, times past the range the
// maximum.
unsigned long long TicksFromTime(double secondsSince2007);
// Broken-down time of the ticks, in UTC or local time (g_bUseLocalTime).
// Ticks past 9999-12-31 23:59:59 are taken as that second.
void FormatDateAndTime(unsigned long long ticks, tm* out);
// "2023/5/7" and "9:5:3" (or "9:5:3 AM" with twelveHour).
void FormatDateAndTime(unsigned long long ticks, bool twelveHour, std::string& date, std::string& time);
// "05-07-23" and "09:05:03".
void FormatDateAndTime02(unsigned long long ticks, std::string& date, std::string& time);

// ---- Settings file ("./kvxexport.cfg") -------------------------------------

unsigned ReadRegValue(unsigned root, wchar_t const* keyPath, wchar_t const* name, unsigned defaultValue);
std::wstring ReadRegStringValue(unsigned root, wchar_t const* keyPath, wchar_t const* name,
                                wchar_t const* defaultValue);
