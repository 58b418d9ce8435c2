// Helpers of the MAT writer tests: owning array pointers, in-memory and
// failing streams, expected byte images and a walker that checks the element
// structure of written bytes.
#pragma once

#include "mat/MatArray.h"
#include "mat/MatFile.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace mattest {

using mat::ArrayPtr;

// Builds expected bytes: 32-bit little-endian words, doubles, text padded
// with zero bytes.
class Bytes {
public:
    Bytes& Words(std::initializer_list<uint32_t> words);
    Bytes& Double(double value);
    Bytes& Text(std::string const& text, std::size_t paddedTo);
    Bytes& Units(std::u16string const& units, std::size_t paddedTo);
    std::vector<uint8_t> const& Get() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

// A MAT file written to memory: the 128 header bytes and whatever was
// appended through the handle.
class MemoryMat {
public:
    MemoryMat();
    ~MemoryMat();
    MATFile_tag* Handle() const { return handle_; }
    // Closes the handle (result of matClose) and gives the bytes.
    int Close();
    std::vector<uint8_t> const& Contents() const { return contents_; }
    // The bytes after the header.
    std::vector<uint8_t> Elements() const;

private:
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    MATFile_tag* handle_ = nullptr;
    std::vector<uint8_t> contents_;
};

// A stream that accepts `capacity` bytes and then fails every write; without
// buffering, so every fwrite reaches it.
std::FILE* LimitedStream(std::size_t capacity, bool buffered);

// Walks one element at the front of bytes and checks that every element in
// it ends exactly where its size word says. Returns the bytes consumed, or 0
// with a message in *error.
struct ElementInfo {
    uint32_t classId = 0;
    bool global = false;
    std::string name;
    std::vector<uint32_t> dimensions;
};
std::size_t WalkElement(uint8_t const* bytes, std::size_t size, std::string* error, ElementInfo* top = nullptr);

uint32_t ReadU32(uint8_t const* bytes);

}  // namespace mattest
