// The header and channel structures: which fields are set, how they are
// written, and that the writers report failures and free what they own.
#include "MatTestSupport.h"
#include "mat/RecFileStc.h"

#include <gtest/gtest.h>

#include <cfloat>

using mattest::ArrayPtr;
using mattest::MemoryMat;

namespace {

mxArray_tag* Field(mxArray_tag const* s, int field)
{
    return s->Children()[field];
}

void ExpectText(mxArray_tag const* text, std::u16string const& expected)
{
    ASSERT_NE(text, nullptr);
    ASSERT_EQ(text->classId, mxCHAR_CLASS);
    EXPECT_EQ(text->dimensions[0], 1u);
    ASSERT_EQ(text->dimensions[1], expected.size());
    EXPECT_EQ(std::u16string(text->Units(), text->Units() + expected.size()), expected);
}

void ExpectScalar(mxArray_tag const* value, double expected)
{
    ASSERT_NE(value, nullptr);
    ASSERT_EQ(value->classId, mxDOUBLE_CLASS);
    ASSERT_EQ(value->elementCount, 1u);
    EXPECT_EQ(value->Doubles()[0], expected);
}

// Checks one written variable and returns its description.
mattest::ElementInfo WalkOnly(std::vector<uint8_t> const& elements)
{
    std::string error;
    mattest::ElementInfo top;
    EXPECT_EQ(mattest::WalkElement(elements.data(), elements.size(), &error, &top), elements.size()) << error;
    return top;
}

TEST(ChannelStructure, CreatedWithItsDescriptiveFieldsSet)
{
    ArrayPtr channel(CreateStructureChannelArray("speed", L"km/h"));
    ASSERT_TRUE(channel);
    ASSERT_EQ(channel->numberOfFields, 10);
    EXPECT_EQ(channel->elementCount, 1u);
    char const* names[] = {"Channelname", "Channeltype", "unit", "timeunit", "period",
                           "device",      "time",        "signals", "min", "max"};
    for (int f = 0; f < 10; ++f)
        EXPECT_STREQ(channel->fieldNames[f], names[f]);
    ExpectText(Field(channel.get(), 0), u"speed");
    ExpectText(Field(channel.get(), 1), u"DOUBLE");
    ExpectText(Field(channel.get(), 2), u"km/h");
    ExpectText(Field(channel.get(), 3), u"s");
    ExpectScalar(Field(channel.get(), 4), 0.0);
    ExpectText(Field(channel.get(), 5), u"");
    for (int f = 6; f < 10; ++f)
        EXPECT_EQ(Field(channel.get(), f), nullptr) << f;
}

TEST(ChannelStructure, MissingUnitIsAnEmptyText)
{
    for (wchar_t const* unit : {L"", static_cast<wchar_t const*>(nullptr)}) {
        ArrayPtr channel(CreateStructureChannelArray("x", unit));
        ASSERT_TRUE(channel);
        ExpectText(Field(channel.get(), 2), u"");
    }
}

TEST(ChannelStructure, FinalizeWritesGlobalVariableWithBounds)
{
    MemoryMat file;
    mxArray_tag* channel = CreateStructureChannelArray("speed", L"km/h");
    // A bound set earlier is replaced, not leaked.
    mxSetFieldByNumber(channel, 0, 8, mxCreateDoubleMatrix(1, 1, 0));
    EXPECT_TRUE(FinalizeChannel(file.Handle(), channel, -1.5, 2.5, "speed_1"));
    ASSERT_EQ(file.Close(), 0);
    std::vector<uint8_t> elements = file.Elements();
    mattest::ElementInfo top = WalkOnly(elements);
    EXPECT_EQ(top.name, "speed_1");
    EXPECT_TRUE(top.global);
    EXPECT_EQ(top.classId, uint32_t(mxSTRUCT_CLASS));
    // min and max are the last two children: 1 x 1 doubles.
    ASSERT_GE(elements.size(), 128u);
    std::vector<uint8_t> tail(elements.end() - 128, elements.end());
    mattest::Bytes expected;
    expected.Words({14, 56, 6, 8, 6, 0, 5, 8, 1, 1, 1, 0, 9, 8}).Double(-1.5);
    expected.Words({14, 56, 6, 8, 6, 0, 5, 8, 1, 1, 1, 0, 9, 8}).Double(2.5);
    EXPECT_EQ(tail, expected.Get());
}

TEST(ChannelStructure, FinalizeReportsFailuresAndAlwaysFreesTheChannel)
{
    EXPECT_FALSE(FinalizeChannel(nullptr, CreateStructureChannelArray("a", L"V"), 0, 1, "a"));
    MemoryMat file;
    EXPECT_FALSE(FinalizeChannel(file.Handle(), nullptr, 0, 1, "a"));
    EXPECT_FALSE(FinalizeChannel(file.Handle(), CreateStructureChannelArray("a", L"V"), 0, 1, nullptr));
    EXPECT_EQ(file.Close(), 0);

    MATFile_tag* failing = ProcessMatFile(mattest::LimitedStream(mat::kHeaderBytes + 64, false), false);
    ASSERT_NE(failing, nullptr);
    EXPECT_FALSE(FinalizeChannel(failing, CreateStructureChannelArray("a", L"V"), 0, 1, "a"));
    EXPECT_EQ(matClose(failing), EOF);
}

TEST(HeaderStructure, WrittenAsGlobalHeaderVariable)
{
    MemoryMat file;
    EXPECT_TRUE(WriteStructureHeader(file.Handle(), "6/11/2024", "13:5:7", "6/11/2024", "13:6:0", 3));
    ASSERT_EQ(file.Close(), 0);
    mattest::ElementInfo top = WalkOnly(file.Elements());
    EXPECT_EQ(top.name, "header");
    EXPECT_TRUE(top.global);
    EXPECT_EQ(top.classId, uint32_t(mxSTRUCT_CLASS));
    EXPECT_EQ(top.dimensions, (std::vector<uint32_t>{1, 1}));
}

TEST(HeaderStructure, NullTextsAreEmptyAndFailuresAreReported)
{
    MemoryMat file;
    EXPECT_TRUE(WriteStructureHeader(file.Handle(), nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(file.Close(), 0);
    WalkOnly(file.Elements());

    EXPECT_FALSE(WriteStructureHeader(nullptr, "", "", "", "", 1));
    MATFile_tag* failing = ProcessMatFile(mattest::LimitedStream(mat::kHeaderBytes + 500, false), false);
    ASSERT_NE(failing, nullptr);
    EXPECT_FALSE(WriteStructureHeader(failing, "", "", "", "", 1));
    EXPECT_EQ(matClose(failing), EOF);
}

}  // namespace
