// The array model: creation, filling, ownership and destruction as a host
// sees them through the exported functions.
#include "MatTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

using mattest::ArrayPtr;

namespace {

constexpr std::size_t kHuge = std::numeric_limits<std::size_t>::max() / 2;

TEST(MatArrayCreation, DoubleMatrixHasDimensionsAndZeroedData)
{
    ArrayPtr m(mxCreateDoubleMatrix(3, 2, 0));
    ASSERT_TRUE(m);
    EXPECT_EQ(mxGetM(m.get()), 3u);
    EXPECT_EQ(m->elementCount, 6u);
    EXPECT_EQ(m->dataSize, 48u);
    double* values = mxGetPr(m.get());
    ASSERT_NE(values, nullptr);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(values[i], 0.0);
}

TEST(MatArrayCreation, NewCharAndCellArraysAreZeroFilled)
{
    std::size_t dims[2] = {2, 3};
    ArrayPtr chars(mxCreateCharArray(2, dims));
    ASSERT_TRUE(chars);
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_EQ(chars->Units()[i], 0u);
    ArrayPtr cells(mxCreateCellArray(2, dims));
    ASSERT_TRUE(cells);
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_EQ(cells->Children()[i], nullptr);
}

TEST(MatArrayCreation, FewerThanTwoDimensionsMakeAColumn)
{
    std::size_t five = 5;
    ArrayPtr column(mxCreateNumericArray(1, &five, mxDOUBLE_CLASS, 0));
    ASSERT_TRUE(column);
    ASSERT_EQ(column->numberOfDimensions, 2u);
    EXPECT_EQ(column->dimensions[0], 5u);
    EXPECT_EQ(column->dimensions[1], 1u);
    EXPECT_EQ(column->dataSize, 40u);

    ArrayPtr scalar(mxCreateNumericArray(0, nullptr, mxDOUBLE_CLASS, 0));
    ASSERT_TRUE(scalar);
    EXPECT_EQ(scalar->dimensions[0], 1u);
    EXPECT_EQ(scalar->dimensions[1], 1u);
    EXPECT_EQ(scalar->elementCount, 1u);
}

TEST(MatArrayCreation, RefusesWhatCannotBeWrittenOrHeld)
{
    std::size_t dims[2] = {2, 2};
    for (int unsupported : {0, 3, 5, 7, 8, 9, 12, 15, 17, -1})
        EXPECT_EQ(mxCreateNumericArray(2, dims, static_cast<mxClassID>(unsupported), 0), nullptr) << unsupported;
    EXPECT_EQ(mxCreateNumericArray(2, nullptr, mxDOUBLE_CLASS, 0), nullptr);
    EXPECT_EQ(mxCreateCellArray(3, nullptr), nullptr);
    EXPECT_EQ(mxCreateCharArray(1, nullptr), nullptr);

    // An element count or block size beyond size_t.
    std::size_t overflowing[3] = {kHuge, 4, 1};
    EXPECT_EQ(mxCreateNumericArray(3, overflowing, mxDOUBLE_CLASS, 0), nullptr);
    EXPECT_EQ(mxCreateDoubleMatrix(kHuge, 3, 0), nullptr);
    std::size_t manyElements[2] = {std::size_t(1) << 62, 1};
    EXPECT_EQ(mxCreateCellArray(2, manyElements), nullptr);
}

TEST(MatArrayCreation, AllocationFailureIsNull)
{
    // Fits size_t but no memory: calloc says no, the result is null.
    EXPECT_EQ(mxCreateDoubleMatrix(std::size_t(1) << 58, 1, 0), nullptr);
    std::size_t dims[2] = {std::size_t(1) << 57, 1};
    char const* names[] = {"a", "b"};
    EXPECT_EQ(mxCreateStructArray(2, dims, 2, names), nullptr);
}

TEST(MatArrayCreation, StructArrayCopiesFieldNames)
{
    std::string first = "name", second = "longest";
    char const* names[] = {first.c_str(), second.c_str()};
    std::size_t dims[2] = {1, 3};
    ArrayPtr s(mxCreateStructArray(2, dims, 2, names));
    ASSERT_TRUE(s);
    first[0] = 'X';
    EXPECT_STREQ(s->fieldNames[0], "name");
    EXPECT_STREQ(s->fieldNames[1], "longest");
    EXPECT_EQ(s->fieldNameLength, 8u);
    EXPECT_EQ(s->ChildCount(), 6u);
    EXPECT_EQ(mxGetPr(s.get()), nullptr);

    ArrayPtr none(mxCreateStructArray(2, dims, 0, nullptr));
    ASSERT_TRUE(none);
    EXPECT_EQ(none->ChildCount(), 0u);
}

TEST(MatArrayCreation, StructArrayRefusesBadFieldLists)
{
    std::size_t dims[2] = {1, 1};
    char const* withNull[] = {"a", nullptr};
    EXPECT_EQ(mxCreateStructArray(2, dims, 2, withNull), nullptr);
    EXPECT_EQ(mxCreateStructArray(2, dims, 1, nullptr), nullptr);
    EXPECT_EQ(mxCreateStructArray(2, dims, -1, nullptr), nullptr);
    EXPECT_EQ(mxCreateStructArray(2, nullptr, 1, withNull), nullptr);
}

TEST(MatArrayStrings, NarrowBytesAreLatin1)
{
    ArrayPtr text(mxCreateString("a\xE9\xFF"));
    ASSERT_TRUE(text);
    EXPECT_EQ(text->dimensions[0], 1u);
    ASSERT_EQ(text->dimensions[1], 3u);
    EXPECT_EQ(text->Units()[0], u'a');
    EXPECT_EQ(text->Units()[1], 0x00E9);
    EXPECT_EQ(text->Units()[2], 0x00FF);
}

TEST(MatArrayStrings, WideCharactersBeyondOneUnitBecomeReplacementCharacter)
{
    wchar_t const text[] = {L'x', 0x20AC, 0x1F600, 0x10FFFF, static_cast<wchar_t>(-1), 0xFFFF, 0};
    ArrayPtr array(mxCreateStringW(text));
    ASSERT_TRUE(array);
    ASSERT_EQ(array->elementCount, 6u);
    uint16_t const expected[] = {u'x', 0x20AC, 0xFFFD, 0xFFFD, 0xFFFD, 0xFFFF};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(array->Units()[i], expected[i]) << i;
}

TEST(MatArrayStrings, EmptyTextIsOneByZeroWithoutData)
{
    ArrayPtr narrow(mxCreateString(""));
    ArrayPtr wide(mxCreateStringW(L""));
    for (mxArray_tag* text : {narrow.get(), wide.get()}) {
        ASSERT_TRUE(text);
        EXPECT_EQ(text->dimensions[0], 1u);
        EXPECT_EQ(text->dimensions[1], 0u);
        EXPECT_EQ(text->data, nullptr);
        EXPECT_EQ(text->dataSize, 0u);
    }
    EXPECT_EQ(mxCreateString(nullptr), nullptr);
    EXPECT_EQ(mxCreateStringW(nullptr), nullptr);
}

TEST(MatArraySetting, FieldsAndCellsOutOfRangeOrOfTheWrongClassAreIgnored)
{
    char const* names[] = {"a", "b"};
    std::size_t dims[2] = {1, 2};
    ArrayPtr s(mxCreateStructArray(2, dims, 2, names));
    ArrayPtr c(mxCreateCellArray(2, dims));
    ArrayPtr d(mxCreateDoubleMatrix(1, 2, 0));
    ArrayPtr value(mxCreateDoubleMatrix(1, 1, 0));
    mxSetFieldByNumber(s.get(), 2, 0, value.get());
    mxSetFieldByNumber(s.get(), 0, 2, value.get());
    mxSetFieldByNumber(s.get(), 0, -1, value.get());
    mxSetFieldByNumber(c.get(), 0, 0, value.get());
    mxSetFieldByNumber(nullptr, 0, 0, value.get());
    mxSetCell(c.get(), 2, value.get());
    mxSetCell(s.get(), 0, value.get());
    mxSetCell(d.get(), 0, value.get());
    mxSetCell(nullptr, 0, value.get());
    for (std::size_t i = 0; i < s->ChildCount(); ++i)
        EXPECT_EQ(s->Children()[i], nullptr);
    for (std::size_t i = 0; i < c->ChildCount(); ++i)
        EXPECT_EQ(c->Children()[i], nullptr);
    EXPECT_EQ(value->parent, nullptr);
}

TEST(MatArraySetting, FieldNumberSelectsEntryOfElement)
{
    char const* names[] = {"a", "b", "c"};
    std::size_t dims[2] = {1, 2};
    ArrayPtr s(mxCreateStructArray(2, dims, 3, names));
    mxArray_tag* value = mxCreateDoubleMatrix(1, 1, 0);
    mxSetFieldByNumber(s.get(), 1, 2, value);
    EXPECT_EQ(s->Children()[5], value);
    EXPECT_EQ(value->parent, s.get());
}

TEST(MatArraySetting, AnArrayHasOneHolderAndNoCycles)
{
    std::size_t dims[2] = {1, 2};
    ArrayPtr outer(mxCreateCellArray(2, dims));
    mxArray_tag* inner = mxCreateCellArray(2, dims);
    mxSetCell(outer.get(), 0, inner);
    ASSERT_EQ(outer->Children()[0], inner);

    // Sharing the same child in a second slot would free it twice.
    mxSetCell(outer.get(), 1, inner);
    EXPECT_EQ(outer->Children()[1], nullptr);
    // Cycles would never end while writing or freeing.
    mxSetCell(inner, 0, outer.get());
    mxSetCell(inner, 1, inner);
    EXPECT_EQ(inner->Children()[0], nullptr);
    EXPECT_EQ(inner->Children()[1], nullptr);
    // Setting the same child again changes nothing.
    mxSetCell(outer.get(), 0, inner);
    EXPECT_EQ(outer->Children()[0], inner);
}

TEST(MatArraySetting, ReplacedChildGoesBackToTheCaller)
{
    std::size_t dims[2] = {1, 1};
    ArrayPtr cell(mxCreateCellArray(2, dims));
    mxArray_tag* first = mxCreateDoubleMatrix(1, 1, 0);
    mxSetCell(cell.get(), 0, first);
    // While held, destroying is left to the holder.
    mxDestroyArray(first);
    ASSERT_EQ(cell->Children()[0], first);
    mxSetCell(cell.get(), 0, nullptr);
    EXPECT_EQ(cell->Children()[0], nullptr);
    EXPECT_EQ(first->parent, nullptr);
    ArrayPtr released(first);
    mxArray_tag* second = mxCreateString("x");
    mxSetCell(cell.get(), 0, second);
    EXPECT_EQ(cell->Children()[0], second);
}

TEST(MatArrayAccess, GetPrAndGetMOnAnyArgument)
{
    EXPECT_EQ(mxGetPr(nullptr), nullptr);
    EXPECT_EQ(mxGetM(nullptr), 0u);
    ArrayPtr empty(mxCreateDoubleMatrix(0, 4, 0));
    EXPECT_EQ(mxGetPr(empty.get()), nullptr);
    EXPECT_EQ(mxGetM(empty.get()), 0u);
    ArrayPtr text(mxCreateString("abc"));
    // Code units are not doubles: a host writing through this would overrun.
    EXPECT_EQ(mxGetPr(text.get()), nullptr);
    EXPECT_EQ(mxGetM(text.get()), 1u);
}

TEST(MatArrayDestruction, DeepNestingIsFreedWithoutRecursion)
{
    std::size_t dims[2] = {1, 1};
    mxArray_tag* root = mxCreateString("leaf");
    for (int i = 0; i < 200000; ++i) {
        mxArray_tag* holder = mxCreateCellArray(2, dims);
        ASSERT_NE(holder, nullptr);
        mxSetCell(holder, 0, root);
        ASSERT_EQ(holder->Children()[0], root);
        root = holder;
    }
    mxDestroyArray(root);
    mxDestroyArray(nullptr);
}

}  // namespace
