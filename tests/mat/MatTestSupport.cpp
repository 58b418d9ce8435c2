#include "MatTestSupport.h"

#include <cstring>
#include <stdexcept>

namespace mattest {

Bytes& Bytes::Words(std::initializer_list<uint32_t> words)
{
    for (uint32_t word : words) {
        for (int i = 0; i < 4; ++i)
            bytes_.push_back(static_cast<uint8_t>(word >> (8 * i)));
    }
    return *this;
}

Bytes& Bytes::Double(double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 8; ++i)
        bytes_.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    return *this;
}

Bytes& Bytes::Text(std::string const& text, std::size_t paddedTo)
{
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    bytes_.insert(bytes_.end(), paddedTo - text.size(), 0);
    return *this;
}

Bytes& Bytes::Units(std::u16string const& units, std::size_t paddedTo)
{
    for (char16_t unit : units) {
        bytes_.push_back(static_cast<uint8_t>(unit));
        bytes_.push_back(static_cast<uint8_t>(unit >> 8));
    }
    bytes_.insert(bytes_.end(), paddedTo - 2 * units.size(), 0);
    return *this;
}

MemoryMat::MemoryMat()
{
    std::FILE* stream = open_memstream(&buffer_, &size_);
    if (!stream)
        throw std::runtime_error("open_memstream failed");
    handle_ = ProcessMatFile(stream, false);
    if (!handle_)
        throw std::runtime_error("header not written");
}

MemoryMat::~MemoryMat()
{
    if (handle_)
        matClose(handle_);
    std::free(buffer_);
}

int MemoryMat::Close()
{
    int result = matClose(handle_);
    handle_ = nullptr;
    contents_.assign(buffer_, buffer_ + size_);
    return result;
}

std::vector<uint8_t> MemoryMat::Elements() const
{
    return std::vector<uint8_t>(contents_.begin() + mat::kHeaderBytes, contents_.end());
}

namespace {

struct Limited {
    std::size_t capacity;
    std::size_t written = 0;
};

ssize_t LimitedWrite(void* cookie, char const*, std::size_t size)
{
    Limited* limit = static_cast<Limited*>(cookie);
    std::size_t room = limit->capacity - limit->written;
    if (room == 0)
        return -1;
    std::size_t accepted = size < room ? size : room;
    limit->written += accepted;
    return static_cast<ssize_t>(accepted);
}

int LimitedClose(void* cookie)
{
    delete static_cast<Limited*>(cookie);
    return 0;
}

class Walker {
public:
    Walker(uint8_t const* bytes, std::size_t size) : bytes_(bytes), size_(size) {}

    bool Element(int depth, ElementInfo* info)
    {
        uint32_t type, length;
        if (!Word(&type) || !Word(&length))
            return false;
        if (type != 14)
            return Fail("element type " + std::to_string(type));
        if (length == 0)
            return true;
        std::size_t start = pos_;
        ElementInfo local;
        ElementInfo& e = info ? *info : local;
        uint32_t flagsType, flagsLength, flags, zero, dimsType, dimsLength;
        if (!Word(&flagsType) || !Word(&flagsLength) || !Word(&flags) || !Word(&zero) || !Word(&dimsType) ||
            !Word(&dimsLength))
            return false;
        if (flagsType != 6 || flagsLength != 8 || zero != 0 || dimsType != 5 || dimsLength % 4 != 0 ||
            dimsLength < 8)
            return Fail("array flags or dimensions tag");
        e.classId = flags & 0xFF;
        e.global = (flags & 0x400) != 0;
        if (depth > 0 && (e.global || flags & ~uint32_t(0x4FF)))
            return Fail("child flags");
        uint64_t count = 1;
        for (uint32_t i = 0; i < dimsLength / 4; ++i) {
            uint32_t dim;
            if (!Word(&dim))
                return false;
            e.dimensions.push_back(dim);
            count *= dim;
        }
        if (!Skip(Padding(dimsLength)))
            return false;
        uint32_t nameType, nameLength;
        if (!Word(&nameType) || !Word(&nameLength) || nameType != 1)
            return Fail("name tag");
        if (depth > 0 && nameLength != 0)
            return Fail("named child");
        if (pos_ + nameLength > size_)
            return Fail("name beyond end");
        e.name.assign(reinterpret_cast<char const*>(bytes_ + pos_), nameLength);
        if (!Skip(nameLength + Padding(nameLength)) || !Content(e.classId, count, depth))
            return false;
        if (pos_ - start != length)
            return Fail("size word " + std::to_string(length) + " but content " + std::to_string(pos_ - start));
        return true;
    }

    std::size_t Position() const { return pos_; }
    std::string const& Error() const { return error_; }

private:
    bool Content(uint32_t classId, uint64_t count, int depth)
    {
        uint32_t type, length;
        switch (classId) {
        case 6:
            if (!Word(&type) || !Word(&length) || type != 9 || length != count * 8)
                return Fail("double data tag");
            return Skip(length);
        case 4:
            if (!Word(&type) || !Word(&length) || type != 4 || length != count * 2)
                return Fail("char data tag");
            return Skip(length + Padding(length));
        case 2: {
            uint32_t small, width;
            if (!Word(&small) || !Word(&width) || small != 0x00040005)
                return Fail("field-name width");
            if (!Word(&type) || !Word(&length) || type != 1 || (width == 0 ? length != 0 : length % width != 0))
                return Fail("field-name block");
            uint64_t fields = width ? length / width : 0;
            if (!Skip(length + Padding(length)))
                return false;
            return Children(count * fields, depth);
        }
        case 1:
            return Children(count, depth);
        }
        return Fail("class " + std::to_string(classId));
    }

    bool Children(uint64_t count, int depth)
    {
        for (uint64_t i = 0; i < count; ++i) {
            if (!Element(depth + 1, nullptr))
                return false;
        }
        return true;
    }

    static uint32_t Padding(uint64_t bytes) { return static_cast<uint32_t>((8 - bytes % 8) % 8); }

    bool Word(uint32_t* value)
    {
        if (pos_ + 4 > size_)
            return Fail("unexpected end");
        *value = ReadU32(bytes_ + pos_);
        pos_ += 4;
        return true;
    }

    bool Skip(uint64_t count)
    {
        if (pos_ + count > size_)
            return Fail("unexpected end");
        pos_ += count;
        return true;
    }

    bool Fail(std::string const& message)
    {
        if (error_.empty())
            error_ = message + " at byte " + std::to_string(pos_);
        return false;
    }

    uint8_t const* bytes_;
    std::size_t size_;
    std::size_t pos_ = 0;
    std::string error_;
};

}  // namespace

std::FILE* LimitedStream(std::size_t capacity, bool buffered)
{
    cookie_io_functions_t functions = {};
    functions.write = LimitedWrite;
    functions.close = LimitedClose;
    std::FILE* stream = fopencookie(new Limited{capacity}, "w", functions);
    if (stream && !buffered)
        std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

std::size_t WalkElement(uint8_t const* bytes, std::size_t size, std::string* error, ElementInfo* top)
{
    Walker walker(bytes, size);
    if (!walker.Element(0, top)) {
        *error = walker.Error();
        return 0;
    }
    return walker.Position();
}

uint32_t ReadU32(uint8_t const* bytes)
{
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

}  // namespace mattest
