// The MAT writer where the readers of check_readers.py cannot look: arguments
// and sizes that are refused and every failing write reported. With a path as
// its argument the program writes the exported structure layout there instead,
// for check_readers.py: a "header" for 3 channels (stop date and time null),
// then the channels "speed" (3 samples), "empty_unit" (none, null unit) and
// "bare" (no time or signals).
#include "mat/MatArray.h"
#include "mat/MatFile.h"
#include "mat/RecFileStc.h"
#include "testlib/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cfloat>
#include <cstdint>

namespace {

using mat::ArrayPtr;

// A stream that takes `capacity` bytes (at most 4 KiB), then fails every write.
std::FILE* LimitedStream(std::size_t capacity, bool buffered)
{
    static char memory[4096];
    std::FILE* stream = fmemopen(memory, capacity, "wb");
    if (!buffered)
        std::setvbuf(stream, nullptr, _IONBF, 0);
    return stream;
}

// What a host may pass and sizes that cannot be held or written are refused,
// before anything is written.
TEST(MatWriter, RefusedArgumentsAndSizes)
{
    std::size_t dims[2] = {2, 2}, huge[3] = {SIZE_MAX / 2, 4, 1}, many[2] = {std::size_t(1) << 62, 1};
    char const* names[] = {"a", "b"};
    char const* withNull[] = {"a", nullptr};
    mxArray_tag* const refused[] = {
        mxCreateNumericArray(2, nullptr, mxDOUBLE_CLASS, 0), mxCreateCellArray(2, many),
        mxCreateNumericArray(3, huge, mxDOUBLE_CLASS, 0), mxCreateDoubleMatrix(std::size_t(1) << 58, 1, 0),  // no RAM
        mxCreateStructArray(2, dims, 2, withNull), mxCreateStructArray(2, dims, 1, nullptr),
        mxCreateStructArray(2, dims, -1, nullptr), mxCreateStructArray(2, nullptr, 1, names), mxCreateString(nullptr),
        mxCreateStringW(nullptr)};
    for (mxArray_tag* array : refused)
        EXPECT_EQ(array, nullptr);
    EXPECT_TRUE(matClose(nullptr) == 0 && !matOpen(nullptr, "w"));
    // No mode waits for a FIFO's other end or writes into it, nor takes a
    // device for a file, nor replaces either: nodes of the null and the full
    // device made here (where root may make them), never the machine's own.
    testlib::TempDir dir;
    std::vector<std::string> nodes = {dir.file("fifo.mat")};
    ASSERT_EQ(mkfifo(nodes[0].c_str(), 0600), 0);
    for (unsigned minor : {3u, 7u})
        if (mknod(dir.file(std::to_string(minor) + ".mat").c_str(), S_IFCHR | 0600, makedev(1, minor)) == 0)
            nodes.push_back(dir.file(std::to_string(minor) + ".mat"));
    for (std::string const& node : nodes) {
        for (char const* mode : {"r", "u", "w"})
            EXPECT_EQ(matOpen(node.c_str(), mode), nullptr) << node << " " << mode;
        struct stat info;
        EXPECT_TRUE(stat(node.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) << node;
    }
    EXPECT_TRUE(!mxGetPr(nullptr) && mxGetM(nullptr) == 0 && CalcBytes(nullptr) == 8);
    mxDestroyArray(nullptr);

    // calloc leaves the pages untouched: nothing of them is written.
    ArrayPtr tooLarge(mxCreateDoubleMatrix((std::size_t(1) << 28) - 7, 1, 0));
    ArrayPtr largest(mxCreateDoubleMatrix((std::size_t(1) << 28) - 8, 1, 0));
    ASSERT_TRUE(tooLarge && largest);
    EXPECT_EQ(CalcBytes(tooLarge.get()), uint64_t(1) << 31);
    EXPECT_EQ(CalcBytes(largest.get()), (uint64_t(1) << 31) - 8);
    std::size_t one[2] = {1, 1}, wide[3] = {std::size_t(1) << 32, 0, 2}, tall[2] = {std::size_t(1) << 31, 1};
    std::size_t highest[2] = {0x7FFFFFFF, 1};
    ArrayPtr empty(mxCreateCharArray(3, wide)), holder(mxCreateCellArray(2, one)), text(mxCreateString("abc"));
    ArrayPtr fits(mxCreateStructArray(2, highest, 0, nullptr));
    mxSetCell(holder.get(), 0, mxCreateStructArray(2, tall, 0, nullptr));  // fails its holder
    MATFile_tag* file = ProcessMatFile(std::tmpfile(), false);
    for (mxArray_tag* array : {tooLarge.get(), empty.get(), holder.get(), holder->Children()[0], refused[0]})
        EXPECT_EQ(matPutVariable(file, "r", array), -1);  // a bare empty element (null) is no variable either
    EXPECT_TRUE(matPutVariable(nullptr, "a", fits.get()) == -1 && matPutVariable(file, nullptr, fits.get()) == -1 &&
                matPutVariableAsGlobal(file, "a", nullptr) == -1 && !WriteMatArray(file, nullptr, false));
    EXPECT_EQ(matPutVariable(file, "f", fits.get()), 0);
    EXPECT_EQ(ftello(file->file), int64_t(128 + CalcBytes(fits.get())));
    EXPECT_EQ(matClose(file), 0);
    EXPECT_EQ(mxGetPr(text.get()), nullptr);  // code units are no doubles a host may write through
}

// A write that fails at any byte fails the variable, every later one and the
// close; the structure writers report it too.
TEST(MatWriter, EveryFailedWriteIsReported)
{
    std::size_t four[2] = {1, 4}, one[2] = {1, 1}, three[3] = {1, 1, 3};
    char const* names[] = {"a"};
    ArrayPtr array(mxCreateCellArray(2, four)), small(mxCreateDoubleMatrix(1, 1, 0));
    mxArray_tag* s = mxCreateStructArray(2, one, 1, names);
    mxSetFieldByNumber(s, 0, 0, mxCreateDoubleMatrix(1, 1, 0));
    mxSetCell(array.get(), 0, s);
    mxSetCell(array.get(), 1, mxCreateString("ab"));
    mxSetCell(array.get(), 2, mxCreateNumericArray(3, three, mxDOUBLE_CLASS, 0));
    ASSERT_TRUE(SetMatrixName(array.get(), "variable"));
    const uint64_t total = CalcBytes(array.get());
    for (std::size_t room = 0; room <= total; ++room) {
        MATFile_tag* file = ProcessMatFile(LimitedStream(mat::kHeaderBytes + room, false), false);
        EXPECT_EQ(matPutVariable(file, "variable", array.get()), room == total ? 0 : -1) << room;
        EXPECT_EQ(matPutVariable(file, "x", small.get()), -1) << room;
        EXPECT_EQ(matClose(file), EOF) << room;
    }
    MATFile_tag* buffered = ProcessMatFile(LimitedStream(mat::kHeaderBytes + 100, true), false);
    EXPECT_EQ(matPutVariable(buffered, "variable", array.get()), -1);  // seen at the put, not only at the close
    EXPECT_EQ(matClose(buffered), EOF);
    for (bool isBuffered : {false, true})
        EXPECT_EQ(ProcessMatFile(LimitedStream(mat::kHeaderBytes - 1, isBuffered), false), nullptr);
    EXPECT_EQ(ProcessMatFile(nullptr, false), nullptr);

    EXPECT_FALSE(WriteStructureHeader(nullptr, "", "", "", "", 1));
    EXPECT_FALSE(FinalizeChannel(nullptr, CreateStructureChannelArray("a", L"V"), 0, 1, "a"));  // freed all the same
    MATFile_tag* file = ProcessMatFile(std::tmpfile(), false);
    EXPECT_FALSE(FinalizeChannel(file, nullptr, 0, 1, "a"));
    EXPECT_FALSE(FinalizeChannel(file, CreateStructureChannelArray("a", L"V"), 0, 1, nullptr));
    EXPECT_EQ(matClose(file), 0);
    for (std::size_t room : {64, 500}) {
        MATFile_tag* failing = ProcessMatFile(LimitedStream(mat::kHeaderBytes + room, false), false);
        EXPECT_FALSE(room == 64 ? FinalizeChannel(failing, CreateStructureChannelArray("a", L"V"), 0, 1, "a")
                                : WriteStructureHeader(failing, "", "", "", "", 1));
        EXPECT_EQ(matClose(failing), EOF);
    }
}

int WriteLayout(char const* path)
{
    MATFile_tag* file = matOpen(path, "wL");
    bool ok = file && WriteStructureHeader(file, "6/11/2024", "13:5:7", nullptr, nullptr, 3);
    double const samples[] = {0.0, 0.5, 1.0, 10.0, -20.25, 30.5, 1.0};  // times, values, 1
    auto column = [](std::size_t n, double const* values) {
        mxArray_tag* column = mxCreateDoubleMatrix(n, 1, 0);
        std::copy(values, values + n, mxGetPr(column));
        return column;
    };
    std::size_t one[2] = {1, 1};
    for (std::size_t n : {3, 0}) {
        mxArray_tag* channel = CreateStructureChannelArray(n ? "speed" : "empty_unit", n ? L"km/h" : nullptr);
        auto names = const_cast<char const**>(CRecFileStc::ChannelSignalsStructureFieldNames);
        mxArray_tag* signals = mxCreateStructArray(2, one, CRecFileStc::NumChannelSignalsFields(), names);
        mxSetFieldByNumber(signals, 0, 0, column(n, samples + 3));
        mxSetFieldByNumber(signals, 0, 1, column(1, samples + 6));
        mxSetFieldByNumber(channel, 0, 6, column(n, samples));
        mxSetFieldByNumber(channel, 0, 7, signals);
        mxSetFieldByNumber(channel, 0, 8, column(1, samples + 6));  // replaced by FinalizeChannel, not leaked
        ok = FinalizeChannel(file, channel, n ? 0.0 : DBL_MAX, n ? 1.0 : -DBL_MAX, n ? "speed" : "empty_unit") && ok;
    }
    ok = FinalizeChannel(file, CreateStructureChannelArray("bare", L"\u00b0C"), 1.0, 2.0, "bare") && ok;
    return matClose(file) == 0 && ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && argv[1][0] != '-')
        return WriteLayout(argv[1]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
