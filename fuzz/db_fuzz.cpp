// Damaged measurement databases through the record access functions. A
// small database is built once by the builder from a fixture MDF file and
// stored with pages of 512 bytes; each input damages its pages, and the
// damaged file is opened with OpenDataFile for every channel it held, then
// stepped, jumped, masked and closed as the input says. Nothing may crash,
// hang, leak or trip a sanitizer, and reading leaves no file beside the
// database.
//
// Input: [n] [n operation bytes] then patches, each [page] [offset: 2 bytes]
// [length] [bytes], written into that page (modulo the page count) from that
// offset (modulo the page size) up to the page's end.
//
// The files live in a scratch folder of the temporary directory, removed at
// exit with whatever is in it; a run that ended without exit handlers (a
// crash, a timeout) has its folder removed by the next run.
#include <algorithm>
#include <cfloat>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "FuzzSupport.h"
#include "jsonxx/jsonxx.h"
#include "support/DbStmt.h"
#include "vantrel.h"

namespace {

constexpr size_t kPageSize = 512;

struct Base {
    std::string folder;
    std::string path;  // the damaged copy of each input
    std::vector<uint8_t> image;
    std::string channelList;
};

std::string SourceFolder()
{
    std::string file = __FILE__;
    return file.substr(0, file.rfind('/'));
}

std::vector<uint8_t> ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The channel list of every channel the database holds, none required.
std::string ListOfAllChannels(sqlite3* db)
{
    jsonxx::Array channels;
    CDbStmt names;
    if (names.Prepare(db, "SELECT DISTINCT Name FROM Channels WHERE ID > 0"))
        while (names.Step()) {
            jsonxx::Object entry;
            entry << "name" << names.GetText(0);
            entry << "required" << false;
            channels << entry;
        }
    jsonxx::Object list;
    list << "Channels" << channels;
    return list.json();
}

Base MakeBase()
{
    Base base;
    base.folder = fuzz::MakeScratchFolder("db_fuzz");
    base.path = base.folder + "/damaged.db";
    const std::string built = base.folder + "/base.db";
    const std::string mdf = SourceFolder() + "/../tests/data/mdf/names_v400.mf4";
    if (CreateDatabase(mdf.c_str(), built.c_str()) != 1)
        std::abort();
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(built.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, "PRAGMA page_size = 512; VACUUM;", nullptr, nullptr, nullptr) != SQLITE_OK)
        std::abort();
    base.channelList = ListOfAllChannels(db);
    sqlite3_close(db);
    base.image = ReadAll(built);
    ::unlink(built.c_str());
    if (base.image.size() < kPageSize || base.image.size() % kPageSize != 0)
        std::abort();
    return base;
}

void Damage(std::vector<uint8_t>& image, const uint8_t* data, size_t size)
{
    const size_t pages = image.size() / kPageSize;
    for (size_t i = 0; i + 4 <= size;) {
        const size_t page = data[i] % pages;
        const size_t offset = (data[i + 1] | size_t(data[i + 2]) << 8) % kPageSize;
        size_t length = data[i + 3];
        i += 4;
        length = std::min({length, size - i, kPageSize - offset});
        std::copy(data + i, data + i + length, image.begin() + long(page * kPageSize + offset));
        i += length;
    }
}

bool WriteAll(const std::string& path, const std::vector<uint8_t>& image)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    bool ok = std::fwrite(image.data(), 1, image.size(), file) == image.size();
    return std::fclose(file) == 0 && ok;
}

volatile double g_sink;

// Times around the measurement: relative ones below the start, absolute
// ones from it on, and the ends of the double range.
double TimeOf(unsigned arg, double start)
{
    if (arg == 0)
        return DBL_MAX;
    if (arg == 1)
        return -DBL_MAX;
    return arg < 12 ? (arg - 2) * 0.05 : start + (arg - 12) * 0.05;
}

void Run(double* handle, int count, double start, const uint8_t* ops, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        const unsigned kind = ops[i] % 9, arg = ops[i] / 9;
        double a = 0, b = 0;
        switch (kind) {
        case 0: g_sink = GetNextRecord(handle, 0); break;
        case 1: g_sink = GetNextChangedRecord(handle, 0); break;
        case 2: g_sink = GetNextValidRecord(handle, 0); break;
        case 3: g_sink = JumpAfterTimestamp(handle, 0, TimeOf(arg, start)); break;
        case 4: g_sink = JumpBeforeTimestamp(handle, 0, TimeOf(arg, start)); break;
        case 5: {
            std::string mask;
            for (int k = 0; k < count; ++k)
                mask += arg == 27 && k == count / 2 ? 'x' : (arg >> (k % 5)) & 1 ? '1' : '0';
            g_sink = SetActiveMask(handle, 0, mask.c_str());
            break;
        }
        case 6: g_sink = SetCursorsToStart(handle, 0); break;
        case 7: g_sink = GetMeasurementTimeBounds(handle, 0, &a, &b) + a + b; break;
        default:
            for (int k = 0; k < 64 && GetNextRecord(handle, 0) != DBL_MAX; ++k)
                ;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const Base base = MakeBase();
    const size_t n = size > 0 ? std::min<size_t>(data[0], size - 1) : 0;
    std::vector<uint8_t> image = base.image;
    Damage(image, data + 1 + n, size - std::min(size, 1 + n));
    if (!WriteAll(base.path, image))
        return 0;
    double* values = nullptr;
    double* times = nullptr;
    int count = 0;
    const double start = OpenDataFile(base.path.c_str(), base.channelList.c_str(), &values, &times, &count);
    if (values) {
        for (int i = 0; i < count; ++i)
            g_sink = values[i] + times[i];
        Run(values, count, start, data + 1, n);
        CloseDataFile(values, 0);
    }
    std::error_code error;
    for (auto const& entry : std::filesystem::directory_iterator(base.folder, error))
        if (entry.path() != base.path) {
            std::fprintf(stderr, "reading left %s beside the database\n", entry.path().c_str());
            std::abort();
        }
    return 0;
}
