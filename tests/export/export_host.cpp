// A C++ host of the export engine, linked to the shared library: exports a
// database (by default to MDF 3.30 and 4.00) and prints every progress
// report; the report whose number is given (1-based, 0 for none) is
// answered with a cancel.
//
// usage: export_host <database> <output base> <cancel at> [formats [rate ms]]
#include "vantrel_export.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int reports = 0;
int cancelAt = 0;

int Progress(int percent, wchar_t const* text)
{
    ++reports;
    if (text)
        std::printf("%d %ls\n", percent, text);
    else
        std::printf("%d\n", percent);
    return reports == cancelAt ? 0 : 1;
}

std::wstring Wide(char const* text)
{
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4)
        return 2;
    // The host's own locale (a decimal comma must not reach any output).
    std::setlocale(LC_ALL, "");
    const unsigned formats = argc > 4 ? static_cast<unsigned>(std::strtoul(argv[4], nullptr, 0)) : kExportMdf3 | kExportMdf4;
    const int rateMs = argc > 5 ? std::atoi(argv[5]) : 0;
    cancelAt = std::atoi(argv[3]);
    std::vector<CArbDbInfo*> cursors;
    try {
        CppSQLite3DB db;
        db.open(Wide(argv[1]).c_str());
        COrbkBin bin;
        bin.progress = Progress;
        if (LoadChannelsFromDatabase(&db, bin, cursors)) {
            std::wstring base = Wide(argv[2]);
            ExportDbData(&db, bin.messages, cursors, bin, base, formats, rateMs);
        }
    } catch (CppSQLite3Exception const& e) {
        std::printf("caught %ls\n", CppSQLite3Exception::errorCodeAsString(e.errorCode()));
    }
    for (CArbDbInfo* cursor : cursors)
        delete cursor;
    return 0;
}
