#include "mat/MatArray.h"

#include "mat/MatBoundary.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

namespace {

using mat::ArrayPtr;

char* CopyText(char const* text)
{
    std::size_t length = std::strlen(text);
    char* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy)
        std::memcpy(copy, text, length + 1);
    return copy;
}

// Bytes one element takes in the data block.
std::size_t EntryBytes(mxClassID classId, int nfields)
{
    switch (classId) {
    case mxCELL_CLASS:
        return sizeof(mxArray_tag*);
    case mxSTRUCT_CLASS:
        return sizeof(mxArray_tag*) * static_cast<std::size_t>(nfields);
    case mxCHAR_CLASS:
        return sizeof(uint16_t);
    case mxDOUBLE_CLASS:
        return sizeof(double);
    }
    return 0;
}

bool StoreDimensions(mxArray_tag& array, std::size_t ndim, std::size_t const* dims)
{
    std::size_t stored = ndim < 2 ? 2 : ndim;
    std::size_t bytes;
    if (__builtin_mul_overflow(stored, sizeof(std::size_t), &bytes))
        return false;
    array.dimensions = static_cast<std::size_t*>(std::malloc(bytes));
    if (!array.dimensions)
        return false;
    array.numberOfDimensions = stored;
    if (ndim >= 2) {
        std::memcpy(array.dimensions, dims, bytes);
    } else {
        array.dimensions[0] = ndim == 1 ? dims[0] : 1;
        array.dimensions[1] = 1;
    }
    array.elementCount = 1;
    for (std::size_t i = 0; i < stored; ++i) {
        if (__builtin_mul_overflow(array.elementCount, array.dimensions[i], &array.elementCount))
            return false;
    }
    return true;
}

bool AllocateData(mxArray_tag& array)
{
    std::size_t entry = EntryBytes(array.classId, array.numberOfFields);
    std::size_t bytes;
    if (__builtin_mul_overflow(array.elementCount, entry, &bytes))
        return false;
    if (bytes == 0)
        return true;
    // calloc: zero-filled elements and null children, and large blocks cost
    // no page until they are written.
    array.data = std::calloc(array.elementCount, entry);
    if (!array.data)
        return false;
    array.dataSize = bytes;
    return true;
}

bool CopyFieldNames(mxArray_tag& array, int nfields, char const** fieldnames)
{
    if (nfields == 0)
        return true;
    array.fieldNames = static_cast<char**>(std::calloc(static_cast<std::size_t>(nfields), sizeof(char*)));
    if (!array.fieldNames)
        return false;
    for (int f = 0; f < nfields; ++f) {
        array.fieldNames[f] = CopyText(fieldnames[f]);
        if (!array.fieldNames[f])
            return false;
        std::size_t width = std::strlen(fieldnames[f]) + 1;
        if (width > array.fieldNameLength)
            array.fieldNameLength = width;
    }
    return true;
}

// Whether value may become a child of parent: it has no holder yet and is
// not parent itself or one of parent's holders.
bool CanAdopt(mxArray_tag const* parent, mxArray_tag const* value)
{
    if (value->parent)
        return false;
    for (mxArray_tag const* holder = parent; holder; holder = holder->parent) {
        if (holder == value)
            return false;
    }
    return true;
}

void StoreChild(mxArray_tag* parent, std::size_t slot, mxArray_tag* value)
{
    mxArray_tag*& entry = parent->Children()[slot];
    if (entry == value)
        return;
    if (value && !CanAdopt(parent, value))
        return;
    // The replaced child goes back to the caller, who may still destroy it.
    if (entry)
        entry->parent = nullptr;
    entry = value;
    if (value)
        value->parent = parent;
}

mxArray_tag* NewText(std::size_t length)
{
    std::size_t dims[2] = {1, length};
    return CreateArray(mxCHAR_CLASS, 2, dims, 0);
}

}  // namespace

mxArray_tag::~mxArray_tag()
{
    if (fieldNames) {
        for (int f = 0; f < numberOfFields; ++f)
            std::free(fieldNames[f]);
    }
    std::free(fieldNames);
    std::free(data);
    std::free(dimensions);
    std::free(name);
}

mxArray_tag** mxArray_tag::Children() const
{
    if (classId != mxCELL_CLASS && classId != mxSTRUCT_CLASS)
        return nullptr;
    return static_cast<mxArray_tag**>(data);
}

std::size_t mxArray_tag::ChildCount() const
{
    return Children() ? dataSize / sizeof(mxArray_tag*) : 0;
}

bool IsSupportedClass(int classId)
{
    return classId == mxCELL_CLASS || classId == mxSTRUCT_CLASS || classId == mxCHAR_CLASS ||
           classId == mxDOUBLE_CLASS;
}

mxArray_tag* CreateArray(mxClassID classId, std::size_t ndim, std::size_t const* dims, int nfields)
{
    if (!IsSupportedClass(classId) || nfields < 0 || (ndim > 0 && !dims))
        return nullptr;
    ArrayPtr array(new (std::nothrow) mxArray_tag);
    if (!array)
        return nullptr;
    array->classId = classId;
    array->numberOfFields = classId == mxSTRUCT_CLASS ? nfields : 0;
    if (!StoreDimensions(*array, ndim, dims) || !AllocateData(*array))
        return nullptr;
    return array.release();
}

bool SetMatrixName(mxArray_tag* array, char const* name)
{
    if (!array || !name)
        return false;
    char* copy = CopyText(name);
    if (!copy)
        return false;
    std::free(array->name);
    array->name = copy;
    return true;
}

extern "C" {

mxArray_tag* mxCreateStructArray(size_t ndim, size_t const* dims, int nfields, char const** fieldnames)
{
    return mat::Guarded<mxArray_tag*>(nullptr, [&]() -> mxArray_tag* {
        if (nfields < 0 || (nfields > 0 && !fieldnames))
            return nullptr;
        for (int f = 0; f < nfields; ++f) {
            if (!fieldnames[f])
                return nullptr;
        }
        ArrayPtr array(CreateArray(mxSTRUCT_CLASS, ndim, dims, nfields));
        if (!array || !CopyFieldNames(*array, nfields, fieldnames))
            return nullptr;
        return array.release();
    });
}

mxArray_tag* mxCreateCellArray(size_t ndim, size_t const* dims)
{
    return mat::Guarded<mxArray_tag*>(nullptr, [&] { return CreateArray(mxCELL_CLASS, ndim, dims, 0); });
}

mxArray_tag* mxCreateCharArray(size_t ndim, size_t const* dims)
{
    return mat::Guarded<mxArray_tag*>(nullptr, [&] { return CreateArray(mxCHAR_CLASS, ndim, dims, 0); });
}

mxArray_tag* mxCreateDoubleMatrix(size_t m, size_t n, int /*complexity: only real data is held*/)
{
    return mat::Guarded<mxArray_tag*>(nullptr, [&] {
        std::size_t dims[2] = {m, n};
        return CreateArray(mxDOUBLE_CLASS, 2, dims, 0);
    });
}

mxArray_tag* mxCreateNumericArray(size_t ndim, size_t const* dims, mxClassID classid, int /*complexity*/)
{
    return mat::Guarded<mxArray_tag*>(nullptr, [&] { return CreateArray(classid, ndim, dims, 0); });
}

mxArray_tag* mxCreateString(char const* text)
{
    return mat::Guarded<mxArray_tag*>(nullptr, [&]() -> mxArray_tag* {
        if (!text)
            return nullptr;
        std::size_t length = std::strlen(text);
        mxArray_tag* array = NewText(length);
        if (!array)
            return nullptr;
        uint16_t* units = array->Units();
        // Bytes are Latin-1: 0x80 and up stay U+0080 to U+00FF.
        for (std::size_t i = 0; i < length; ++i)
            units[i] = static_cast<unsigned char>(text[i]);
        return array;
    });
}

mxArray_tag* mxCreateStringW(wchar_t const* text)
{
    return mat::Guarded<mxArray_tag*>(nullptr, [&]() -> mxArray_tag* {
        if (!text)
            return nullptr;
        std::size_t length = std::wcslen(text);
        mxArray_tag* array = NewText(length);
        if (!array)
            return nullptr;
        uint16_t* units = array->Units();
        // One unit per character: what does not fit one UTF-16 unit is
        // replaced rather than cut to its low 16 bits.
        for (std::size_t i = 0; i < length; ++i) {
            uint32_t code = static_cast<uint32_t>(text[i]);
            units[i] = static_cast<uint16_t>(code > 0xFFFF ? 0xFFFD : code);
        }
        return array;
    });
}

void mxSetFieldByNumber(mxArray_tag* s, size_t index, int fieldnum, mxArray_tag* value)
{
    mat::Guarded([&] {
        if (!s || s->classId != mxSTRUCT_CLASS || fieldnum < 0 || fieldnum >= s->numberOfFields ||
            index >= s->elementCount)
            return;
        StoreChild(s, index * static_cast<std::size_t>(s->numberOfFields) + static_cast<std::size_t>(fieldnum),
                   value);
    });
}

void mxSetCell(mxArray_tag* c, size_t index, mxArray_tag* value)
{
    mat::Guarded([&] {
        if (!c || c->classId != mxCELL_CLASS || index >= c->elementCount)
            return;
        StoreChild(c, index, value);
    });
}

double* mxGetPr(mxArray_tag const* array)
{
    return mat::Guarded<double*>(nullptr, [&] { return array ? array->Doubles() : nullptr; });
}

size_t mxGetM(mxArray_tag const* array)
{
    return mat::Guarded<std::size_t>(0, [&] { return array ? array->dimensions[0] : 0; });
}

void mxDestroyArray(mxArray_tag* array)
{
    mat::Guarded([&] {
        // An array still held by another is freed with its holder.
        if (!array || array->parent)
            return;
        // A work list threaded through the arrays themselves: any depth of
        // nesting is freed without recursion and without allocating.
        array->nextToFree = nullptr;
        mxArray_tag* pending = array;
        while (pending) {
            mxArray_tag* current = pending;
            pending = current->nextToFree;
            mxArray_tag** children = current->Children();
            for (std::size_t i = 0, n = current->ChildCount(); i < n; ++i) {
                if (children[i]) {
                    children[i]->nextToFree = pending;
                    pending = children[i];
                }
            }
            delete current;
        }
    });
}

}  // extern "C"
