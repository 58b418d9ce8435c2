// The in-memory array model of the MAT writer: cell, structure, character
// and double arrays, nested to any depth, each owning its whole subtree.
#pragma once

#include "vantrel.h"

#include <cstddef>
#include <cstdint>
#include <memory>

// Every block is obtained with malloc/calloc so that running out of memory
// is a null result at the C boundary, never an exception; the destructor is
// the one place that frees them. Children are freed by mxDestroyArray, which
// walks the tree without recursion.
struct mxArray_tag {
    mxArray_tag() = default;
    ~mxArray_tag();
    mxArray_tag(mxArray_tag const&) = delete;
    mxArray_tag& operator=(mxArray_tag const&) = delete;

    // Always at least 2: fewer dimensions given at creation describe n x 1.
    std::size_t numberOfDimensions = 0;
    std::size_t* dimensions = nullptr;
    std::size_t elementCount = 0;
    // Doubles, 16-bit code units or child pointers in element order; for a
    // structure, element i's field f is entry i x fields + f. Zero-filled,
    // null when there is nothing to hold.
    void* data = nullptr;
    std::size_t dataSize = 0;
    mxClassID classId = mxDOUBLE_CLASS;
    int complexity = 0;
    int numberOfFields = 0;
    char** fieldNames = nullptr;
    // Longest field name + 1: the width of each name in the file.
    std::size_t fieldNameLength = 0;
    char* name = nullptr;
    // The array holding this one in a cell or field; an array has at most
    // one holder, which keeps trees free of sharing and cycles.
    mxArray_tag* parent = nullptr;
    mxArray_tag* nextToFree = nullptr;

    double* Doubles() const { return classId == mxDOUBLE_CLASS ? static_cast<double*>(data) : nullptr; }
    uint16_t* Units() const { return classId == mxCHAR_CLASS ? static_cast<uint16_t*>(data) : nullptr; }
    mxArray_tag** Children() const;
    std::size_t ChildCount() const;
};

namespace mat {

// An array owned by the code holding it, released to a parent or freed.
struct DestroyArray {
    void operator()(mxArray_tag* array) const { mxDestroyArray(array); }
};
using ArrayPtr = std::unique_ptr<mxArray_tag, DestroyArray>;

}  // namespace mat

bool IsSupportedClass(int classId);

// Allocates an array of a supported class with zero-filled data sized by
// class; null for an unsupported class, invalid dimensions, a size that does
// not fit or a failed allocation.
mxArray_tag* CreateArray(mxClassID classId, std::size_t ndim, std::size_t const* dims, int nfields);

// Replaces the array's name by a copy; false (and nothing changed) for a null
// argument or a failed copy.
bool SetMatrixName(mxArray_tag* array, char const* name);
