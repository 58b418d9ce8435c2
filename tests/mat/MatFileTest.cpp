// The file writer: header, element layout byte for byte, sizes, and every
// way a write can be refused or fail.
#include "MatTestSupport.h"
#include "testlib/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <random>

using mattest::ArrayPtr;
using mattest::Bytes;
using mattest::MemoryMat;

namespace {

std::vector<uint8_t> WrittenElement(mxArray_tag* array, char const* name, bool global)
{
    MemoryMat file;
    int result = global ? matPutVariableAsGlobal(file.Handle(), name, array)
                        : matPutVariable(file.Handle(), name, array);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(file.Close(), 0);
    return file.Elements();
}

mxArray_tag* Scalar(double value)
{
    mxArray_tag* scalar = mxCreateDoubleMatrix(1, 1, 0);
    *mxGetPr(scalar) = value;
    return scalar;
}

// A global 1 x 1 structure s with field a = 2.0.
mxArray_tag* ExampleStruct()
{
    char const* names[] = {"a"};
    std::size_t dims[2] = {1, 1};
    mxArray_tag* s = mxCreateStructArray(2, dims, 1, names);
    mxSetFieldByNumber(s, 0, 0, Scalar(2.0));
    return s;
}

std::vector<uint8_t> ExampleStructBytes()
{
    return Bytes()
        .Words({14, 136, 6, 8, 0x402, 0, 5, 8, 1, 1, 1, 1})
        .Text("s", 8)
        .Words({0x00040005, 2, 1, 2})
        .Text("a", 8)
        .Words({14, 56, 6, 8, 6, 0, 5, 8, 1, 1, 1, 0, 9, 8})
        .Double(2.0)
        .Get();
}

// A 1 x 2 cell c holding "ab" and an empty text.
mxArray_tag* ExampleCell()
{
    std::size_t dims[2] = {1, 2};
    mxArray_tag* c = mxCreateCellArray(2, dims);
    mxSetCell(c, 0, mxCreateString("ab"));
    mxSetCell(c, 1, mxCreateString(""));
    return c;
}

std::vector<uint8_t> ExampleCellBytes()
{
    return Bytes()
        .Words({14, 168, 6, 8, 1, 0, 5, 8, 1, 2, 1, 1})
        .Text("c", 8)
        .Words({14, 56, 6, 8, 4, 0, 5, 8, 1, 2, 1, 0, 4, 4})
        .Units(u"ab", 8)
        .Words({14, 48, 6, 8, 4, 0, 5, 8, 0, 0, 1, 0, 4, 0})
        .Get();
}

std::string TimeText(std::time_t when)
{
    std::tm parts;
    gmtime_r(&when, &parts);
    char text[80];
    std::size_t n = std::strftime(text, sizeof text, "%c", &parts);
    return std::string(text, n);
}

// The header is byte-exact apart from the creation time, which must be one
// of the times the write could have seen.
void ExpectHeader(std::vector<uint8_t> const& file, std::time_t before, std::time_t after)
{
    ASSERT_GE(file.size(), 128u);
    std::string text(file.begin(), file.begin() + 124);
    EXPECT_EQ(text.substr(0, 50), "MATLAB 5.0 MAT-file, Platform: PCWIN, Created on: ");
    bool timeFound = false;
    for (std::time_t t = before; t <= after && !timeFound; ++t) {
        std::string time = TimeText(t);
        if (text.compare(50, time.size(), time) == 0) {
            timeFound = true;
            EXPECT_EQ(text.substr(50 + time.size()), std::string(124 - 50 - time.size(), ' '));
        }
    }
    EXPECT_TRUE(timeFound) << text;
    EXPECT_EQ(text.substr(116, 8), "        ");
    EXPECT_EQ(file[124], 0x00);
    EXPECT_EQ(file[125], 0x01);
    EXPECT_EQ(file[126], 'I');
    EXPECT_EQ(file[127], 'M');
}

TEST(MatFileGolden, GlobalStructureExampleIs144Bytes)
{
    testlib::TempDir dir;
    std::string path = dir.file("s.mat");
    std::time_t before = std::time(nullptr);
    MATFile_tag* file = matOpen(path.c_str(), "wL");
    std::time_t after = std::time(nullptr);
    ASSERT_NE(file, nullptr);
    ArrayPtr s(ExampleStruct());
    EXPECT_EQ(CalcBytes(s.get()), 48u + 16u + 8u + 64u);
    ASSERT_EQ(matPutVariableAsGlobal(file, "s", s.get()), 0);
    EXPECT_EQ(CalcBytes(s.get()), 144u);
    ASSERT_EQ(matClose(file), 0);

    std::vector<uint8_t> bytes = testlib::readBytes(path);
    ExpectHeader(bytes, before, after);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 128, bytes.end()), ExampleStructBytes());
}

TEST(MatFileGolden, CellOfTextsExampleIs176Bytes)
{
    testlib::TempDir dir;
    std::string path = dir.file("c.mat");
    std::time_t before = std::time(nullptr);
    MATFile_tag* file = matOpen(path.c_str(), "wL");
    std::time_t after = std::time(nullptr);
    ASSERT_NE(file, nullptr);
    ArrayPtr c(ExampleCell());
    ASSERT_EQ(matPutVariable(file, "c", c.get()), 0);
    EXPECT_EQ(CalcBytes(c.get()), 176u);
    ASSERT_EQ(matClose(file), 0);

    std::vector<uint8_t> bytes = testlib::readBytes(path);
    ExpectHeader(bytes, before, after);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 128, bytes.end()), ExampleCellBytes());
}

TEST(MatFileGolden, HeaderTimeIsCutBeforeTheSubsystemOffset)
{
    uint8_t header[mat::kHeaderBytes];
    mat::ComposeHeader(header, std::string(90, 'x').c_str());
    EXPECT_EQ(std::string(header + 50, header + 116), std::string(66, 'x'));
    EXPECT_EQ(std::string(header + 116, header + 124), "        ");
}

TEST(MatFileLayout, ColumnOfThreeDoubles)
{
    std::size_t dims[2] = {3, 1};
    mxArray_tag* column = mxCreateNumericArray(2, dims, mxDOUBLE_CLASS, 0);
    double* values = mxGetPr(column);
    values[0] = 1.5;
    values[1] = -2.0;
    values[2] = 1e300;
    EXPECT_EQ(CalcBytes(column), 80u);
    std::size_t one[2] = {1, 1};
    ArrayPtr holder(mxCreateCellArray(2, one));
    mxSetCell(holder.get(), 0, column);

    std::vector<uint8_t> child = Bytes()
                                     .Words({14, 72, 6, 8, 6, 0, 5, 8, 3, 1, 1, 0, 9, 24})
                                     .Double(1.5)
                                     .Double(-2.0)
                                     .Double(1e300)
                                     .Get();
    std::vector<uint8_t> bytes = WrittenElement(holder.get(), "h", false);
    ASSERT_EQ(bytes.size(), 56u + child.size());
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 56, bytes.end()), child);
}

TEST(MatFileLayout, NamesArePaddedToEightBytes)
{
    ArrayPtr value(Scalar(1.0));
    std::vector<uint8_t> eight = WrittenElement(value.get(), "abcdefgh", false);
    EXPECT_EQ(CalcBytes(value.get()), 72u);
    std::vector<uint8_t> nine = WrittenElement(value.get(), "abcdefghi", false);
    EXPECT_EQ(CalcBytes(value.get()), 80u);
    ASSERT_EQ(eight.size(), 72u);
    ASSERT_EQ(nine.size(), 80u);
    EXPECT_EQ(std::vector<uint8_t>(eight.begin() + 40, eight.begin() + 56), Bytes().Words({1, 8}).Text("abcdefgh", 8).Get());
    EXPECT_EQ(std::vector<uint8_t>(nine.begin() + 40, nine.begin() + 64), Bytes().Words({1, 9}).Text("abcdefghi", 16).Get());
}

TEST(MatFileLayout, FieldNameBlockUsesLongestNamePlusOne)
{
    char const* names[] = {"name", "value"};
    std::size_t dims[2] = {1, 1};
    ArrayPtr s(mxCreateStructArray(2, dims, 2, names));
    std::vector<uint8_t> bytes = WrittenElement(s.get(), "s", false);
    std::vector<uint8_t> block = Bytes().Words({0x00040005, 6, 1, 12}).Text("name", 6).Text("value", 10).Get();
    ASSERT_GE(bytes.size(), 56u + block.size());
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 56, bytes.begin() + 56 + block.size()), block);
    // Two unset fields follow as empty elements.
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 56 + block.size(), bytes.end()), Bytes().Words({14, 0, 14, 0}).Get());
    EXPECT_EQ(CalcBytes(s.get()), bytes.size());
}

TEST(MatFileLayout, EmptyArraysOfTwoDimensionsAreZeroByZero)
{
    ArrayPtr empty(mxCreateDoubleMatrix(0, 5, 0));
    std::vector<uint8_t> bytes = WrittenElement(empty.get(), "e", false);
    EXPECT_EQ(bytes, Bytes().Words({14, 56, 6, 8, 6, 0, 5, 8, 0, 0, 1, 1}).Text("e", 8).Words({9, 0}).Get());
}

TEST(MatFileLayout, MoreDimensionsAreWrittenAsAnnounced)
{
    std::size_t dims[3] = {2, 0, 3};
    ArrayPtr empty(mxCreateCharArray(3, dims));
    std::vector<uint8_t> bytes = WrittenElement(empty.get(), "e", false);
    EXPECT_EQ(bytes, Bytes().Words({14, 64, 6, 8, 4, 0, 5, 12, 2, 0, 3, 0, 1, 1}).Text("e", 8).Words({4, 0}).Get());
    EXPECT_EQ(CalcBytes(empty.get()), bytes.size());

    std::size_t four[4] = {1, 2, 1, 1};
    ArrayPtr filled(mxCreateNumericArray(4, four, mxDOUBLE_CLASS, 0));
    mxGetPr(filled.get())[1] = 7.0;
    bytes = WrittenElement(filled.get(), "f", false);
    EXPECT_EQ(bytes, Bytes()
                         .Words({14, 80, 6, 8, 6, 0, 5, 16, 1, 2, 1, 1, 1, 1})
                         .Text("f", 8)
                         .Words({9, 16})
                         .Double(0.0)
                         .Double(7.0)
                         .Get());
}

TEST(MatFileLayout, ChildrenAreNeitherNamedNorGlobal)
{
    std::size_t dims[2] = {1, 1};
    ArrayPtr holder(mxCreateCellArray(2, dims));
    mxArray_tag* child = Scalar(3.0);
    MemoryMat file;
    ASSERT_EQ(matPutVariableAsGlobal(file.Handle(), "child", child), 0);
    mxSetCell(holder.get(), 0, child);
    ASSERT_EQ(matPutVariableAsGlobal(file.Handle(), "holder", holder.get()), 0);
    ASSERT_EQ(file.Close(), 0);
    std::vector<uint8_t> elements = file.Elements();

    std::string error;
    mattest::ElementInfo first, second;
    std::size_t firstSize = mattest::WalkElement(elements.data(), elements.size(), &error, &first);
    ASSERT_EQ(firstSize, 72u) << error;
    std::size_t secondSize =
        mattest::WalkElement(elements.data() + firstSize, elements.size() - firstSize, &error, &second);
    ASSERT_EQ(firstSize + secondSize, elements.size()) << error;
    EXPECT_EQ(second.name, "holder");
    EXPECT_TRUE(second.global);
    EXPECT_EQ(CalcBytes(holder.get()), secondSize);
    // The child is counted and written without its earlier name.
    EXPECT_EQ(secondSize, 56u + 64u);
}

// Random nested trees: the bytes written always equal CalcBytes, and every
// element inside ends where its size word says.
class RandomTrees {
public:
    explicit RandomTrees(unsigned seed) : rng_(seed) {}

    mxArray_tag* Array(int depth)
    {
        int kind = Pick(depth >= 4 ? 2 : 4);
        std::vector<std::size_t> dims = Dimensions();
        switch (kind) {
        case 0: {
            mxArray_tag* a = mxCreateNumericArray(dims.size(), dims.data(), mxDOUBLE_CLASS, 0);
            for (std::size_t i = 0; i < a->elementCount; ++i)
                a->Doubles()[i] = Pick(1000) - 500.5;
            return Named(a);
        }
        case 1: {
            mxArray_tag* a = mxCreateCharArray(dims.size(), dims.data());
            for (std::size_t i = 0; i < a->elementCount; ++i)
                a->Units()[i] = static_cast<uint16_t>(32 + Pick(0xD000));
            return Named(a);
        }
        case 2: {
            mxArray_tag* a = mxCreateCellArray(dims.size(), dims.data());
            for (std::size_t i = 0; i < a->elementCount; ++i)
                mxSetCell(a, i, Pick(4) == 0 ? nullptr : Array(depth + 1));
            return Named(a);
        }
        default: {
            std::vector<std::string> names;
            for (int f = Pick(4); f > 0; --f)
                names.push_back("f" + std::string(Pick(12), 'x') + std::to_string(f));
            std::vector<char const*> pointers;
            for (std::string const& name : names)
                pointers.push_back(name.c_str());
            mxArray_tag* a = mxCreateStructArray(dims.size(), dims.data(), static_cast<int>(names.size()),
                                                 pointers.data());
            for (std::size_t i = 0; i < a->elementCount; ++i) {
                for (int f = 0; f < a->numberOfFields; ++f)
                    mxSetFieldByNumber(a, i, f, Pick(4) == 0 ? nullptr : Array(depth + 1));
            }
            return Named(a);
        }
        }
    }

    int Pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }

private:
    std::vector<std::size_t> Dimensions()
    {
        std::size_t ndim = std::vector<std::size_t>{0, 1, 2, 2, 2, 3, 4}[Pick(7)];
        std::vector<std::size_t> dims;
        for (std::size_t i = 0; i < ndim; ++i)
            dims.push_back(static_cast<std::size_t>(Pick(4)));
        return dims;
    }

    // Some inner arrays carry a name, which must not be written for them.
    mxArray_tag* Named(mxArray_tag* array)
    {
        if (Pick(3) == 0)
            SetMatrixName(array, std::string(Pick(20), 'n').c_str());
        return array;
    }

    std::mt19937 rng_;
};

TEST(MatFileSizes, BytesWrittenEqualCalcBytesForRandomTrees)
{
    RandomTrees trees(20240611);
    for (int round = 0; round < 400; ++round) {
        ArrayPtr array(trees.Array(0));
        ASSERT_TRUE(array);
        std::string name(static_cast<std::size_t>(trees.Pick(17)), 'v');
        bool global = trees.Pick(2) == 0;
        MemoryMat file;
        ASSERT_EQ(global ? matPutVariableAsGlobal(file.Handle(), name.c_str(), array.get())
                         : matPutVariable(file.Handle(), name.c_str(), array.get()),
                  0);
        ASSERT_EQ(file.Close(), 0);
        std::vector<uint8_t> elements = file.Elements();
        ASSERT_EQ(elements.size(), CalcBytes(array.get())) << "round " << round;
        std::string error;
        mattest::ElementInfo top;
        ASSERT_EQ(mattest::WalkElement(elements.data(), elements.size(), &error, &top), elements.size())
            << "round " << round << ": " << error;
        EXPECT_EQ(top.name, name);
        EXPECT_EQ(top.global, global);
        EXPECT_EQ(top.classId, static_cast<uint32_t>(array->classId));
    }
}

TEST(MatFileSizes, ElementsOfTwoGibibytesAreRefusedBeforeWriting)
{
    // calloc leaves the pages untouched: nothing here is written.
    ArrayPtr tooLarge(mxCreateDoubleMatrix((std::size_t(1) << 28) - 7, 1, 0));
    ArrayPtr largest(mxCreateDoubleMatrix((std::size_t(1) << 28) - 8, 1, 0));
    ASSERT_TRUE(tooLarge);
    ASSERT_TRUE(largest);
    EXPECT_EQ(CalcBytes(tooLarge.get()), uint64_t(1) << 31);
    EXPECT_EQ(CalcBytes(largest.get()), (uint64_t(1) << 31) - 8);

    MemoryMat file;
    EXPECT_EQ(matPutVariable(file.Handle(), "", tooLarge.get()), -1);
    EXPECT_EQ(matPutVariableAsGlobal(file.Handle(), "big", tooLarge.get()), -1);
    // The refusal leaves the file intact and usable.
    ArrayPtr small(Scalar(1.0));
    EXPECT_EQ(matPutVariable(file.Handle(), "small", small.get()), 0);
    EXPECT_EQ(file.Close(), 0);
    EXPECT_EQ(file.Elements().size(), CalcBytes(small.get()));
}

TEST(MatFileSizes, DimensionsBeyondTheInt32WordAreRefused)
{
    std::size_t wide[3] = {std::size_t(1) << 32, 0, 2};
    ArrayPtr empty(mxCreateCharArray(3, wide));
    std::size_t fieldless[2] = {std::size_t(1) << 31, 1};
    ArrayPtr noFields(mxCreateStructArray(2, fieldless, 0, nullptr));
    std::size_t largest[2] = {0x7FFFFFFF, 1};
    ArrayPtr fits(mxCreateStructArray(2, largest, 0, nullptr));
    ASSERT_TRUE(empty && noFields && fits);

    MemoryMat file;
    EXPECT_EQ(matPutVariable(file.Handle(), "e", empty.get()), -1);
    EXPECT_EQ(matPutVariable(file.Handle(), "n", noFields.get()), -1);
    // Nested, the same array fails its holder.
    std::size_t one[2] = {1, 1};
    ArrayPtr holder(mxCreateCellArray(2, one));
    mxSetCell(holder.get(), 0, noFields.release());
    EXPECT_EQ(matPutVariable(file.Handle(), "h", holder.get()), -1);
    EXPECT_EQ(matPutVariable(file.Handle(), "f", fits.get()), 0);
    EXPECT_EQ(file.Close(), 0);
    std::vector<uint8_t> elements = file.Elements();
    ASSERT_EQ(elements.size(), 72u);
    EXPECT_EQ(mattest::ReadU32(&elements[32]), 0x7FFFFFFFu);
}

TEST(MatFileSizes, NestingBeyondTheLimitIsRefused)
{
    std::size_t one[2] = {1, 1};
    auto chain = [&](int arrays) {
        mxArray_tag* root = Scalar(1.0);
        for (int i = 1; i < arrays; ++i) {
            mxArray_tag* holder = mxCreateCellArray(2, one);
            mxSetCell(holder, 0, root);
            root = holder;
        }
        return ArrayPtr(root);
    };
    MemoryMat file;
    ArrayPtr deepest = chain(mat::kMaxNestingDepth + 1);
    EXPECT_EQ(matPutVariable(file.Handle(), "ok", deepest.get()), 0);
    ArrayPtr tooDeep = chain(mat::kMaxNestingDepth + 2);
    EXPECT_EQ(matPutVariable(file.Handle(), "deep", tooDeep.get()), -1);
    EXPECT_EQ(file.Close(), 0);
    EXPECT_EQ(file.Elements().size(), CalcBytes(deepest.get()));
}

TEST(MatFileFailures, NullArgumentsAreRefused)
{
    MemoryMat file;
    ArrayPtr value(Scalar(1.0));
    EXPECT_EQ(matPutVariable(nullptr, "a", value.get()), -1);
    EXPECT_EQ(matPutVariable(file.Handle(), nullptr, value.get()), -1);
    EXPECT_EQ(matPutVariable(file.Handle(), "a", nullptr), -1);
    EXPECT_EQ(matPutVariableAsGlobal(file.Handle(), "a", nullptr), -1);
    EXPECT_EQ(WriteArray(file.Handle(), "a", nullptr, true), -1);
    EXPECT_FALSE(WriteMatArray(file.Handle(), nullptr, false));
    EXPECT_EQ(matClose(nullptr), 0);
    EXPECT_EQ(matOpen(nullptr, "w"), nullptr);
    EXPECT_EQ(CalcBytes(nullptr), 8u);
    EXPECT_EQ(file.Close(), 0);
    EXPECT_TRUE(file.Elements().empty());
}

TEST(MatFileFailures, DevicesAndFifosFailTheOpenAtOnce)
{
    EXPECT_EQ(matOpen("/dev/full", "wL"), nullptr);
    // No mode waits for a FIFO's other end or writes into it.
    testlib::TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo.mat").c_str(), 0600), 0);
    for (char const* mode : {"r", "u", "w"})
        EXPECT_EQ(matOpen(dir.file("fifo.mat").c_str(), mode), nullptr) << mode;
    EXPECT_EQ(ProcessMatFile(mattest::LimitedStream(127, false), false), nullptr);
    EXPECT_EQ(ProcessMatFile(mattest::LimitedStream(127, true), false), nullptr);
    EXPECT_EQ(ProcessMatFile(nullptr, false), nullptr);
}

mxArray_tag* EveryKindOfElement()
{
    std::size_t dims[2] = {1, 4};
    mxArray_tag* cell = mxCreateCellArray(2, dims);
    mxSetCell(cell, 0, ExampleStruct());
    mxSetCell(cell, 1, ExampleCell());
    std::size_t three[3] = {1, 1, 3};
    mxSetCell(cell, 2, mxCreateNumericArray(3, three, mxDOUBLE_CLASS, 0));
    return cell;
}

TEST(MatFileFailures, EveryShortWriteFailsTheVariable)
{
    ArrayPtr array(EveryKindOfElement());
    ASSERT_TRUE(SetMatrixName(array.get(), "variable"));
    std::size_t total = CalcBytes(array.get());
    for (std::size_t room = 0; room <= total; ++room) {
        MATFile_tag* file = ProcessMatFile(mattest::LimitedStream(mat::kHeaderBytes + room, false), false);
        ASSERT_NE(file, nullptr);
        int result = matPutVariable(file, "variable", array.get());
        if (room < total) {
            EXPECT_EQ(result, -1) << room;
            // A file ending in a partial element takes nothing more.
            ArrayPtr small(Scalar(1.0));
            EXPECT_EQ(matPutVariable(file, "x", small.get()), -1);
            EXPECT_EQ(matClose(file), EOF) << room;
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(matClose(file), 0);
        }
    }
}

TEST(MatFileFailures, BufferedWriteFailureShowsAtThePut)
{
    ArrayPtr array(EveryKindOfElement());
    MATFile_tag* file = ProcessMatFile(mattest::LimitedStream(mat::kHeaderBytes + 100, true), false);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(matPutVariable(file, "variable", array.get()), -1);
    EXPECT_EQ(matClose(file), EOF);
}

TEST(MatFileOpen, WriteModeCreatesTheHeader)
{
    testlib::TempDir dir;
    std::string path = dir.file("new.mat");
    MATFile_tag* file = matOpen(path.c_str(), "wL");
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(file->openedExisting);
    EXPECT_EQ(matClose(file), 0);
    EXPECT_EQ(testlib::readBytes(path).size(), 128u);
    EXPECT_EQ(matOpen(dir.file("missing/x.mat").c_str(), "w"), nullptr);
}

TEST(MatFileOpen, UpdateModeAppendsAfterTheExistingVariables)
{
    testlib::TempDir dir;
    std::string path = dir.file("u.mat");
    EXPECT_EQ(matOpen(path.c_str(), "u"), nullptr);
    EXPECT_FALSE(testlib::fileExists(path));

    MATFile_tag* file = matOpen(path.c_str(), "wL");
    ArrayPtr s(ExampleStruct());
    ASSERT_EQ(matPutVariableAsGlobal(file, "s", s.get()), 0);
    ASSERT_EQ(matClose(file), 0);
    std::vector<uint8_t> before = testlib::readBytes(path);

    file = matOpen(path.c_str(), "u");
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(file->openedExisting);
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + 128, file->header));
    ArrayPtr c(ExampleCell());
    ASSERT_EQ(matPutVariable(file, "c", c.get()), 0);
    ASSERT_EQ(matClose(file), 0);

    std::vector<uint8_t> expected = before;
    std::vector<uint8_t> cell = ExampleCellBytes();
    expected.insert(expected.end(), cell.begin(), cell.end());
    EXPECT_EQ(testlib::readBytes(path), expected);
}

TEST(MatFileOpen, UpdateModeRefusesWhatIsNoVersion5File)
{
    testlib::TempDir dir;
    std::string text = dir.file("notes.txt");
    std::string content(300, 'n');
    testlib::writeText(text, content);
    EXPECT_EQ(matOpen(text.c_str(), "u"), nullptr);
    EXPECT_EQ(testlib::readText(text), content);

    std::string shortFile = dir.file("short.mat");
    testlib::writeText(shortFile, "MATLAB 5.0");
    EXPECT_EQ(matOpen(shortFile.c_str(), "u"), nullptr);
    EXPECT_EQ(testlib::readText(shortFile), "MATLAB 5.0");
}

TEST(MatFileOpen, OtherModesOnlyReadTheHeader)
{
    testlib::TempDir dir;
    std::string path = dir.file("r.mat");
    matClose(matOpen(path.c_str(), "w"));
    std::vector<uint8_t> header = testlib::readBytes(path);
    MATFile_tag* file = matOpen(path.c_str(), "r");
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(std::equal(header.begin(), header.end(), file->header));
    EXPECT_EQ(matClose(file), 0);
    EXPECT_EQ(matOpen(dir.file("none.mat").c_str(), ""), nullptr);
}

}  // namespace
