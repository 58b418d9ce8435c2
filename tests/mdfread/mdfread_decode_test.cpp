// Bit-field decoding, table-driven: every integer type and byte order, bit
// counts from 1 to 64, every bit shift, each value at the very end of a heap
// buffer of exactly the bytes the field spans (so an over-read is an ASan
// error), with all other bits of those bytes set so that masking is tested.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>

#include "MdfBuilder.h"
#include "mdfread/MDFFileOp.h"
#include "testlib/TestSupport.h"

using namespace mdftest;

namespace {

const unsigned kBitCounts[] = {1, 4, 7, 9, 12, 16, 20, 24, 32, 33, 48, 64};

struct Case {
    unsigned type;  // MDF 4 data type: 0 uint LE, 1 uint BE, 2 int LE, 3 int BE, 4 float LE, 5 float BE
    unsigned bits;
    unsigned shift;
};

std::vector<Case> AllCases()
{
    std::vector<Case> cases;
    for (unsigned type = 0; type < 4; ++type)
        for (unsigned bits : kBitCounts)
            for (unsigned shift = 0; shift < 8; ++shift)
                cases.push_back({type, bits, shift});
    for (unsigned type = 4; type < 6; ++type)
        for (unsigned bits : {32u, 64u})
            cases.push_back({type, bits, 0});
    return cases;
}

// One MDF 4 file whose single channel group holds a channel per case, all at
// byte offset 0 of a 9-byte record.
std::string WriteCaseFile(const testlib::TempDir& dir, const std::vector<Case>& cases)
{
    MdfBuilder b(true);
    uint64_t hd = b.Hd4(0, 0);
    uint64_t dt = b.Dt4({});
    uint64_t previous = 0, first = 0;
    for (size_t i = 0; i < cases.size(); ++i) {
        uint64_t name = b.Tx4("c" + std::to_string(i));
        uint64_t cn = b.Cn4(name, 0, 0, cases[i].type, cases[i].shift, 0, cases[i].bits);
        if (previous)
            b.Link4(previous, 0, cn);
        else
            first = cn;
        previous = cn;
    }
    uint64_t cg = b.Cg4(first, 0, 0, 9);
    uint64_t dg = b.Dg4(cg, dt);
    b.Link4(hd, 0, dg);
    std::string path = dir.file("cases.mf4");
    b.Save(path);
    return path;
}

using u128 = unsigned __int128;

// The field's bytes: value v placed at the shift, every other bit set.
std::unique_ptr<uint8_t[]> Encode(const Case& c, uint64_t v, unsigned& count)
{
    count = (c.shift + c.bits + 7) / 8;
    u128 mask = c.bits == 64 ? u128(~0ULL) : (u128(1) << c.bits) - 1;
    u128 all = (u128(1) << (8 * count)) - 1;
    u128 word = (all & ~(mask << c.shift)) | ((u128(v) & mask) << c.shift);
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[count]);
    bool big = c.type == 1 || c.type == 3;
    for (unsigned i = 0; i < count; ++i)
        bytes[i] = uint8_t(word >> (8 * (big ? count - 1 - i : i)));
    return bytes;
}

}  // namespace

TEST(BitFieldDecoding, EveryTypeWidthShiftAndByteOrder)
{
    testlib::TempDir dir;
    std::vector<Case> cases = AllCases();
    CMDFFileOp mdf;
    ASSERT_TRUE(mdf.ReadFile(WriteCaseFile(dir, cases)));
    std::mt19937_64 random(20240315);
    size_t index = 0;
    for (CCNBlockOp* cn = mdf.GetNextChannel(true); cn; cn = mdf.GetNextChannel(false), ++index) {
        ASSERT_LT(index, cases.size());
        const Case& c = cases[index];
        SCOPED_TRACE("type " + std::to_string(c.type) + " bits " + std::to_string(c.bits) + " shift " +
                     std::to_string(c.shift));
        bool isSigned = c.type == 2 || c.type == 3;
        EXPECT_EQ(cn->IsSigned(), isSigned);
        EXPECT_EQ(cn->IsFloat(), c.type >= 4);
        if (c.type >= 4) {
            for (int k = 0; k < 20; ++k) {
                double v = k == 0 ? -0.0 : std::ldexp(double(int64_t(random())), -int(random() % 80));
                unsigned count = c.bits / 8;
                std::unique_ptr<uint8_t[]> bytes(new uint8_t[count]);
                uint64_t bits;
                if (c.bits == 32) {
                    float f = float(v);
                    uint32_t b32;
                    std::memcpy(&b32, &f, 4);
                    bits = b32;
                    v = f;
                } else {
                    std::memcpy(&bits, &v, 8);
                }
                for (unsigned i = 0; i < count; ++i)
                    bytes[i] = uint8_t(bits >> (8 * (c.type == 5 ? count - 1 - i : i)));
                const char* p = reinterpret_cast<const char*>(bytes.get());
                EXPECT_EQ(std::signbit(cn->GetFloat(p)), std::signbit(v));
                EXPECT_EQ(cn->GetFloat(p), v);
                EXPECT_EQ(cn->getValue(p), v);
                EXPECT_EQ(std::signbit(cn->getValue(p)), std::signbit(v));
            }
            continue;
        }
        const uint64_t mask = c.bits == 64 ? ~0ULL : (1ULL << c.bits) - 1;
        std::vector<uint64_t> values = {0, mask, mask >> 1, (mask >> 1) + 1, 1};
        for (int k = 0; k < 20; ++k)
            values.push_back(random() & mask);
        for (uint64_t raw : values) {
            unsigned count;
            std::unique_ptr<uint8_t[]> bytes = Encode(c, raw, count);
            const char* p = reinterpret_cast<const char*>(bytes.get());
            uint64_t expected = raw;
            if (isSigned && c.bits < 64 && (raw >> (c.bits - 1)) & 1)
                expected = raw | ~mask;
            EXPECT_EQ(cn->GetUnsigned(p), expected) << "raw " << raw;
            EXPECT_EQ(uint64_t(cn->GetInteger(p)), expected);
            double value = isSigned ? double(int64_t(expected)) : double(expected);
            EXPECT_EQ(cn->getValue(p), value);
        }
    }
    EXPECT_EQ(index, cases.size());
}

TEST(BitFieldDecoding, UnsignedValuesAbove2To63StayPositive)
{
    testlib::TempDir dir;
    std::vector<Case> cases = {{0, 64, 0}, {1, 64, 0}, {0, 64, 3}};
    CMDFFileOp mdf;
    ASSERT_TRUE(mdf.ReadFile(WriteCaseFile(dir, cases)));
    for (CCNBlockOp* cn = mdf.GetNextChannel(true); cn; cn = mdf.GetNextChannel(false)) {
        unsigned count;
        Case c = {cn->GetDataType() == 9 ? 1u : 0u, 64, cn->GetStartBit()};
        auto bytes = Encode(c, 0xFFFFFFFFFFFFFFFEULL, count);
        EXPECT_EQ(cn->getValue(reinterpret_cast<const char*>(bytes.get())), 18446744073709551614.0);
    }
}
