// A C++ host of the export engine, linked to the shared library: exports a database and prints every
// progress report, answering report number <cancel at> (1-based, 0: none) with a cancel.
// usage: export_host <database> <output base> <cancel at> <formats> <rate ms>
#include "vantrel_export.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int reports = 0;
int cancelAt = 0;

int Progress(int percent, wchar_t const* text)
{
    std::printf("%d%s%ls\n", percent, text ? " " : "", text ? text : L"");
    return ++reports == cancelAt ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 6)
        return 2;
    std::setlocale(LC_ALL, "");  // the host's own locale: a decimal comma must not reach any output
    cancelAt = std::atoi(argv[3]);
    std::vector<CArbDbInfo*> cursors;
    try {
        CppSQLite3DB db;
        db.open(std::wstring(argv[1], argv[1] + std::strlen(argv[1])).c_str());
        COrbkBin bin;
        bin.progress = Progress;
        std::wstring base(argv[2], argv[2] + std::strlen(argv[2]));
        if (LoadChannelsFromDatabase(&db, bin, cursors))
            ExportDbData(&db, bin.messages, cursors, bin, base, std::strtoul(argv[4], nullptr, 0), std::atoi(argv[5]));
    } catch (CppSQLite3Exception const& e) {
        std::printf("caught %ls\n", CppSQLite3Exception::errorCodeAsString(e.errorCode()));
    }
    for (CArbDbInfo* cursor : cursors)
        delete cursor;
}
