// How MAT files name what they hold, alike in every writer of the system:
// variable and field names are Latin-1 bytes, so a character array made of
// such a name (mxCreateString reads bytes as Latin-1) holds the name's own
// characters.
#pragma once

#include <string>

// Latin-1 text of a wide string: '?' for every character beyond U+00FF,
// never just its low byte. MAT names and MDF 3.30 texts are written so.
std::string Latin1FromWide(std::wstring const& text);

// The MAT variable or field name of a name: its Latin-1 text, made usable
// by ScrubMatlabName (which keeps the bytes beyond ASCII).
std::string MatlabNameFromWide(std::wstring const& name);
