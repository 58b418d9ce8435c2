#include "mat/MatFile.h"

#include "mat/MatArray.h"
#include "mat/MatBoundary.h"
#include "mat/MatEndian.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstring>
#include <ctime>
#include <new>

namespace {

// Data types of the format's element tags.
constexpr uint32_t kMiInt8 = 1;
constexpr uint32_t kMiUint16 = 4;
constexpr uint32_t kMiInt32 = 5;
constexpr uint32_t kMiUint32 = 6;
constexpr uint32_t kMiDouble = 9;
constexpr uint32_t kMiMatrix = 14;
constexpr uint32_t kGlobalFlag = 0x400;
// The field-name width as a small element: type int32, 4 bytes.
constexpr uint32_t kFieldNameWidthTag = 0x00040005;
constexpr uint64_t kMaxDimension = 0x7FFFFFFF;

uint64_t Pad8(uint64_t bytes)
{
    return (bytes + 7) & ~uint64_t(7);
}

// Stream writes with every result checked. Arrays are written in
// little-endian order whatever the host's.
class ElementWriter {
public:
    explicit ElementWriter(std::FILE* stream) : stream_(stream) {}

    // glibc's fwrite can report a full count for a failed write to an
    // unbuffered stream; the error flag is what tells.
    bool Write(void const* bytes, std::size_t count)
    {
        return count == 0 || (std::fwrite(bytes, 1, count, stream_) == count && !std::ferror(stream_));
    }

    bool Zeros(uint64_t count)
    {
        static uint8_t const zeros[256] = {};
        while (count > 0) {
            std::size_t chunk = static_cast<std::size_t>(std::min<uint64_t>(count, sizeof zeros));
            if (!Write(zeros, chunk))
                return false;
            count -= chunk;
        }
        return true;
    }

    // Zero bytes after `written` bytes up to the next multiple of 8.
    bool PadAfter(uint64_t written) { return Zeros(Pad8(written) - written); }

    bool Tag(uint32_t type, uint32_t bytes)
    {
        uint8_t tag[8];
        mat::PutTag(tag, type, bytes);
        return Write(tag, sizeof tag);
    }

    bool Doubles(double const* values, std::size_t count)
    {
        if (mat::kHostIsLittleEndian)
            return Write(values, count * sizeof(double));
        return Converted(values, count, sizeof(double),
                         [](uint8_t* out, double value) { mat::PutDoubleLE(out, value); });
    }

    bool Units(uint16_t const* units, std::size_t count)
    {
        if (mat::kHostIsLittleEndian)
            return Write(units, count * sizeof(uint16_t));
        return Converted(units, count, sizeof(uint16_t),
                         [](uint8_t* out, uint16_t unit) { mat::PutU16LE(out, unit); });
    }

    bool Words32(std::size_t const* words, std::size_t count)
    {
        return Converted(words, count, 4,
                         [](uint8_t* out, std::size_t word) { mat::PutU32LE(out, static_cast<uint32_t>(word)); });
    }

private:
    template <class Value, class Encode>
    bool Converted(Value const* values, std::size_t count, std::size_t width, Encode encode)
    {
        uint8_t buffer[4096];
        std::size_t perChunk = sizeof buffer / width;
        for (std::size_t start = 0; start < count; start += perChunk) {
            std::size_t n = std::min(perChunk, count - start);
            for (std::size_t i = 0; i < n; ++i)
                encode(buffer + i * width, values[start + i]);
            if (!Write(buffer, n * width))
                return false;
        }
        return true;
    }

    std::FILE* stream_;
};

// Empty two-dimensional arrays are written as 0 x 0; with more dimensions
// the dimensions are always written, as the dimensions tag announces.
bool WritesDimensions(mxArray_tag const& array)
{
    return array.numberOfDimensions > 2 || array.elementCount > 0;
}

bool DimensionsFit(mxArray_tag const& array)
{
    if (!WritesDimensions(array))
        return true;
    for (std::size_t i = 0; i < array.numberOfDimensions; ++i) {
        if (array.dimensions[i] > kMaxDimension)
            return false;
    }
    return true;
}

uint64_t ElementBytes(mxArray_tag const* array, bool named, int depth);

// Adds the children's sizes, stopping once the total is out of bounds.
uint64_t AddChildBytes(uint64_t total, mxArray_tag const& array, int depth)
{
    mxArray_tag* const* children = array.Children();
    for (std::size_t i = 0, n = array.ChildCount(); i < n && total < mat::kElementByteLimit; ++i) {
        uint64_t child = ElementBytes(children[i], false, depth + 1);
        if (child >= mat::kElementByteLimit)
            return child;
        total += child;
    }
    return total;
}

uint64_t ContentBytes(mxArray_tag const& array, int depth)
{
    switch (array.classId) {
    case mxDOUBLE_CLASS:
        return 8 + uint64_t(array.elementCount) * 8;
    case mxCHAR_CLASS:
        return 8 + Pad8(uint64_t(array.elementCount) * 2);
    case mxSTRUCT_CLASS: {
        if (array.fieldNameLength >= mat::kElementByteLimit)
            return mat::kElementByteLimit;
        uint64_t names = uint64_t(array.numberOfFields) * array.fieldNameLength;
        return AddChildBytes(16 + Pad8(names), array, depth);
    }
    case mxCELL_CLASS:
        return AddChildBytes(0, array, depth);
    }
    return 8;
}

uint64_t ElementBytes(mxArray_tag const* array, bool named, int depth)
{
    if (!array)
        return 8;
    if (depth > mat::kMaxNestingDepth || !DimensionsFit(*array))
        return mat::kElementByteLimit;
    uint64_t ndim = array->numberOfDimensions;
    uint64_t total = ndim > 2 ? 40 + Pad8(ndim * 4) : 48;
    if (named && array->name)
        total += Pad8(std::strlen(array->name));
    if (total >= mat::kElementByteLimit)
        return total;
    uint64_t content = ContentBytes(*array, depth);
    return content >= mat::kElementByteLimit ? content : total + content;
}

bool WriteElement(ElementWriter& out, mxArray_tag const* array, bool global, bool named, int depth);

bool WriteDimensions(ElementWriter& out, mxArray_tag const& array)
{
    if (!WritesDimensions(array))
        return out.Zeros(8);
    uint64_t bytes = uint64_t(array.numberOfDimensions) * 4;
    return out.Words32(array.dimensions, array.numberOfDimensions) && out.PadAfter(bytes);
}

bool WriteName(ElementWriter& out, char const* name)
{
    std::size_t length = name ? std::strlen(name) : 0;
    return out.Tag(kMiInt8, static_cast<uint32_t>(length)) && out.Write(name, length) && out.PadAfter(length);
}

bool WriteChildren(ElementWriter& out, mxArray_tag const& array, int depth)
{
    mxArray_tag* const* children = array.Children();
    for (std::size_t i = 0, n = array.ChildCount(); i < n; ++i) {
        if (!WriteElement(out, children[i], false, false, depth + 1))
            return false;
    }
    return true;
}

bool WriteStructContent(ElementWriter& out, mxArray_tag const& array, int depth)
{
    // Readers divide by the width: without fields it is 1, not 0.
    uint32_t width = static_cast<uint32_t>(std::max<std::size_t>(array.fieldNameLength, 1));
    uint64_t names = uint64_t(array.numberOfFields) * width;
    uint8_t head[16];
    mat::PutU32LE(head, kFieldNameWidthTag);
    mat::PutU32LE(head + 4, width);
    mat::PutTag(head + 8, kMiInt8, static_cast<uint32_t>(names));
    if (!out.Write(head, sizeof head))
        return false;
    for (int f = 0; f < array.numberOfFields; ++f) {
        std::size_t length = std::strlen(array.fieldNames[f]);
        if (!out.Write(array.fieldNames[f], length) || !out.Zeros(width - length))
            return false;
    }
    return out.PadAfter(names) && WriteChildren(out, array, depth);
}

bool WriteContent(ElementWriter& out, mxArray_tag const& array, int depth)
{
    switch (array.classId) {
    case mxDOUBLE_CLASS:
        return out.Tag(kMiDouble, static_cast<uint32_t>(array.elementCount * 8)) &&
               out.Doubles(array.Doubles(), array.elementCount);
    case mxCHAR_CLASS: {
        uint64_t bytes = uint64_t(array.elementCount) * 2;
        return out.Tag(kMiUint16, static_cast<uint32_t>(bytes)) && out.Units(array.Units(), array.elementCount) &&
               out.PadAfter(bytes);
    }
    case mxSTRUCT_CLASS:
        return WriteStructContent(out, array, depth);
    case mxCELL_CLASS:
        return WriteChildren(out, array, depth);
    }
    return false;
}

// One element; its size was checked against the limit before the first byte
// of the variable was written.
bool WriteElement(ElementWriter& out, mxArray_tag const* array, bool global, bool named, int depth)
{
    if (!array)
        return out.Tag(kMiMatrix, 0);
    uint64_t bytes = ElementBytes(array, named, depth);
    uint64_t ndim = array->numberOfDimensions;
    uint8_t head[32];
    mat::PutTag(head, kMiMatrix, static_cast<uint32_t>(bytes - 8));
    mat::PutTag(head + 8, kMiUint32, 8);
    mat::PutU32LE(head + 16, static_cast<uint32_t>(array->classId) | (global ? kGlobalFlag : 0));
    mat::PutU32LE(head + 20, 0);
    mat::PutTag(head + 24, kMiInt32, static_cast<uint32_t>(ndim > 2 ? ndim * 4 : 8));
    return out.Write(head, sizeof head) && WriteDimensions(out, *array) &&
           WriteName(out, named ? array->name : nullptr) && WriteContent(out, *array, depth);
}

void CurrentTimeText(char (&text)[mat::kTimeTextLimit + 1])
{
    text[0] = '\0';
    std::time_t now = std::time(nullptr);
    std::tm parts;
    if (!gmtime_r(&now, &parts))
        return;
    // strftime leaves the buffer undefined when the text does not fit.
    if (std::strftime(text, sizeof text, "%c", &parts) == 0)
        text[0] = '\0';
}

// Appending is only safe behind a little-endian version 5 header.
bool PrepareAppend(MATFile_tag& file)
{
    uint8_t const* h = file.header;
    bool isVersion5 = h[124] == 0x00 && h[125] == 0x01 && h[126] == 'I' && h[127] == 'M';
    return isVersion5 && fseeko(file.file, 0, SEEK_END) == 0;
}

int PutVariable(MATFile_tag* file, char const* name, mxArray_tag* array, bool global)
{
    if (!file || !name || !array || file->writeFailed)
        return -1;
    if (!SetMatrixName(array, name))
        return -1;
    return WriteMatArray(file, array, global) ? 0 : -1;
}

}  // namespace

namespace mat {

void ComposeHeader(uint8_t (&header)[kHeaderBytes], char const* timeText)
{
    static char const kText[] = "MATLAB 5.0 MAT-file, Platform: PCWIN, Created on:";
    std::memset(header, ' ', 124);
    std::memcpy(header, kText, sizeof kText - 1);
    std::size_t length = std::min(std::strlen(timeText), kTimeTextLimit);
    std::memcpy(header + 50, timeText, length);
    PutU16LE(header + 124, 0x0100);
    header[126] = 'I';
    header[127] = 'M';
}

}  // namespace mat

MATFile_tag* ProcessMatFile(std::FILE* stream, bool readHeader)
{
    if (!stream)
        return nullptr;
    MATFile_tag* file = new (std::nothrow) MATFile_tag;
    bool ok = file != nullptr;
    if (ok && readHeader) {
        ok = std::fread(file->header, 1, mat::kHeaderBytes, stream) == mat::kHeaderBytes;
    } else if (ok) {
        char timeText[mat::kTimeTextLimit + 1];
        CurrentTimeText(timeText);
        mat::ComposeHeader(file->header, timeText);
        ok = std::fwrite(file->header, 1, mat::kHeaderBytes, stream) == mat::kHeaderBytes &&
             std::fflush(stream) == 0 && !std::ferror(stream);
    }
    if (!ok) {
        std::fclose(stream);
        delete file;
        return nullptr;
    }
    file->file = stream;
    file->openedExisting = readHeader;
    return file;
}

uint64_t CalcBytes(mxArray_tag const* array)
{
    return ElementBytes(array, true, 0);
}

bool WriteMatArray(MATFile_tag* file, mxArray_tag const* array, bool global)
{
    // A bare empty element at the top level is not a variable readers accept.
    if (!file || !file->file || file->writeFailed || !array)
        return false;
    if (CalcBytes(array) >= mat::kElementByteLimit)
        return false;
    ElementWriter out(file->file);
    // Flushed per variable so that a full disk shows at this call, not at close.
    bool ok = WriteElement(out, array, global, true, 0) && std::fflush(file->file) == 0 && !std::ferror(file->file);
    if (!ok)
        file->writeFailed = true;
    return ok;
}

int WriteArray(MATFile_tag* file, char const* name, mxArray_tag* array, bool global)
{
    return global ? matPutVariableAsGlobal(file, name, array) : matPutVariable(file, name, array);
}

namespace {

// The stream of a MAT file: only a regular file is opened (non-blocking, so
// that a FIFO or device is refused at once instead of holding the call), and
// it is truncated for writing only once it is known to be one.
std::FILE* OpenMatStream(char const* path, char kind)
{
    const int access = kind == 'w' ? O_RDWR | O_CREAT : kind == 'u' ? O_RDWR : O_RDONLY;
    const int fd = ::open(path, access | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        return nullptr;
    struct stat info;
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (!regular || (kind == 'w' && ::ftruncate(fd, 0) != 0) || ::fcntl(fd, F_SETFL, 0) != 0) {
        const int error = regular ? errno : ENODEV;
        ::close(fd);
        errno = error;
        return nullptr;
    }
    std::FILE* stream = ::fdopen(fd, kind == 'r' ? "rb" : "r+b");
    if (!stream)
        ::close(fd);
    return stream;
}

}  // namespace

extern "C" {

MATFile_tag* matOpen(char const* path, char const* mode)
{
    return mat::Guarded<MATFile_tag*>(nullptr, [&]() -> MATFile_tag* {
        if (!path || !mode)
            return nullptr;
        char kind = mode[0];
        bool writes = kind == 'w' || kind == 'u';
        std::unique_ptr<char, MATFile_tag::FreeBuffer> buffer(
            writes ? static_cast<char*>(std::malloc(mat::kStreamBufferBytes)) : nullptr);
        // Only a regular file: a FIFO or device would hold the call.
        std::FILE* stream = OpenMatStream(path, kind);
        // Without the buffer the stream keeps its own small one.
        if (stream && buffer)
            std::setvbuf(stream, buffer.get(), _IOFBF, mat::kStreamBufferBytes);
        MATFile_tag* file = ProcessMatFile(stream, kind != 'w');
        if (!file)
            return nullptr;
        file->streamBuffer = std::move(buffer);
        if (kind == 'u' && !PrepareAppend(*file)) {
            std::fclose(file->file);
            delete file;
            return nullptr;
        }
        return file;
    });
}

int matClose(MATFile_tag* file)
{
    return mat::Guarded<int>(EOF, [&] {
        if (!file)
            return 0;
        bool failed = file->writeFailed;
        if (std::fclose(file->file) != 0)
            failed = true;
        delete file;
        return failed ? EOF : 0;
    });
}

int matPutVariable(MATFile_tag* file, char const* name, mxArray_tag* array)
{
    return mat::Guarded<int>(-1, [&] { return PutVariable(file, name, array, false); });
}

int matPutVariableAsGlobal(MATFile_tag* file, char const* name, mxArray_tag* array)
{
    return mat::Guarded<int>(-1, [&] { return PutVariable(file, name, array, true); });
}

}  // extern "C"
