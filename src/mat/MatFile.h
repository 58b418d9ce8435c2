// The MAT file object: a 128-byte header followed by whole arrays appended as
// variables, each one element of type matrix (format version 5,
// uncompressed, little-endian).
#pragma once

#include "vantrel.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

struct MATFile_tag {
    struct FreeBuffer {
        void operator()(char* buffer) const { std::free(buffer); }
    };

    // The stream is closed before the handle, and with it its buffer, goes.
    std::FILE* file = nullptr;
    // The header was read from an existing file rather than written.
    bool openedExisting = false;
    uint8_t header[128] = {};
    // A write failed: the file ends in a partial element, so no further
    // variable is appended and matClose reports the failure.
    bool writeFailed = false;
    // The stream's buffer when the handle writes: large enough that
    // variables reach the file in few, large writes.
    std::unique_ptr<char, FreeBuffer> streamBuffer;
};

namespace mat {

constexpr std::size_t kHeaderBytes = 128;
// The element size word is 32 bits and readers take it as signed.
constexpr uint64_t kElementByteLimit = uint64_t(1) << 31;
// Nesting deeper than this is refused rather than risking the stack.
constexpr int kMaxNestingDepth = 1000;
constexpr std::size_t kStreamBufferBytes = std::size_t(4) << 20;

// The header's time text fills bytes 50-115 at most; 116-123 stay spaces.
constexpr std::size_t kTimeTextLimit = 66;

// The 128 header bytes for a new file, with the given time text (cut to
// kTimeTextLimit bytes).
void ComposeHeader(uint8_t (&header)[kHeaderBytes], char const* timeText);

}  // namespace mat

// Reads the header (readHeader) or writes a new one and builds the handle;
// on a short read or write, or a failed flush, the stream is closed and the
// result is null.
MATFile_tag* ProcessMatFile(std::FILE* stream, bool readHeader);

// The array's element size in bytes, tag and name included. Exact below
// kElementByteLimit; at or above it the array cannot be written (too large,
// a dimension beyond the int32 dimension word, or nested too deep).
uint64_t CalcBytes(mxArray_tag const* array);

// Writes one top-level element named by the array's name; children are
// written unnamed and never global. False without writing anything when the
// array cannot be written, false with writeFailed set when a write failed.
bool WriteMatArray(MATFile_tag* file, mxArray_tag const* array, bool global);

// matPutVariableAsGlobal when global, else matPutVariable.
int WriteArray(MATFile_tag* file, char const* name, mxArray_tag* array, bool global);
