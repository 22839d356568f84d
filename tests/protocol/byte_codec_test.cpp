#include "protocol/byte_codec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>

#include "support/utf8_reference.h"

namespace tarvello {
namespace {

// ---- Writer and reader golden bytes, both directions ----

struct FixedWidthCase {
    const char* name;
    std::function<void(ByteWriter&)> write;
    Bytes bytes;
    std::function<void(ByteReader&)> checkRead;
};

class FixedWidthGolden : public ::testing::TestWithParam<FixedWidthCase> {};

TEST_P(FixedWidthGolden, EncodesExactBytesAndDecodesThemBack) {
    const auto& c = GetParam();
    ByteWriter w;
    c.write(w);
    EXPECT_EQ(w.data, c.bytes);

    ByteReader r(c.bytes);
    c.checkRead(r);
    EXPECT_EQ(r.remaining(), 0u);
    EXPECT_EQ(r.offset, c.bytes.size());
}

INSTANTIATE_TEST_SUITE_P(
    ByteCodec, FixedWidthGolden,
    ::testing::Values(FixedWidthCase{"u8",
                                     [](ByteWriter& w) { w.writeU8(0xAB); },
                                     {0xAB},
                                     [](ByteReader& r) { EXPECT_EQ(r.readU8(), 0xAB); }},
                      FixedWidthCase{"u16ControlPort",
                                     [](ByteWriter& w) { w.writeU16(47800); },
                                     {0xBA, 0xB8},
                                     [](ByteReader& r) { EXPECT_EQ(r.readU16(), 47800); }},
                      FixedWidthCase{"u32",
                                     [](ByteWriter& w) { w.writeU32(0x01020304); },
                                     {0x01, 0x02, 0x03, 0x04},
                                     [](ByteReader& r) { EXPECT_EQ(r.readU32(), 0x01020304u); }},
                      FixedWidthCase{"u32Max",
                                     [](ByteWriter& w) { w.writeU32(0xFFFFFFFF); },
                                     {0xFF, 0xFF, 0xFF, 0xFF},
                                     [](ByteReader& r) { EXPECT_EQ(r.readU32(), 0xFFFFFFFFu); }},
                      FixedWidthCase{"u64",
                                     [](ByteWriter& w) { w.writeU64(0x0102030405060708ull); },
                                     {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08},
                                     [](ByteReader& r) { EXPECT_EQ(r.readU64(), 0x0102030405060708ull); }},
                      FixedWidthCase{"f32One",
                                     [](ByteWriter& w) { w.writeF32(1.0f); },
                                     {0x3F, 0x80, 0x00, 0x00},
                                     [](ByteReader& r) { EXPECT_EQ(r.readF32(), 1.0f); }},
                      FixedWidthCase{"f32NegativeTwoAndAHalf",
                                     [](ByteWriter& w) { w.writeF32(-2.5f); },
                                     {0xC0, 0x20, 0x00, 0x00},
                                     [](ByteReader& r) { EXPECT_EQ(r.readF32(), -2.5f); }},
                      FixedWidthCase{"textUtf8",
                                     [](ByteWriter& w) { w.writeText("h\xC3\xA9"); },
                                     {0x68, 0xC3, 0xA9},
                                     [](ByteReader& r) { EXPECT_EQ(r.readText(), "h\xC3\xA9"); }},
                      FixedWidthCase{"emptyTextWritesNothing",
                                     [](ByteWriter& w) { w.writeText(""); },
                                     {},
                                     [](ByteReader& r) { EXPECT_TRUE(r.readRest().empty()); }},
                      FixedWidthCase{"dataUnchanged",
                                     [](ByteWriter& w) {
                                         w.writeData(Bytes{0x00, 0xFF, 0x7F});
                                     },
                                     {0x00, 0xFF, 0x7F},
                                     [](ByteReader& r) {
                                         EXPECT_EQ(r.readRest(), (Bytes{0x00, 0xFF, 0x7F}));
                                     }},
                      FixedWidthCase{"mixedSequence",
                                     [](ByteWriter& w) {
                                         w.writeU8(1);
                                         w.writeU16(0x0203);
                                         w.writeU32(0x04050607);
                                         w.writeText("ok");
                                     },
                                     {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 'o', 'k'},
                                     [](ByteReader& r) {
                                         EXPECT_EQ(r.readU8(), 1);
                                         EXPECT_EQ(r.readU16(), 0x0203);
                                         EXPECT_EQ(r.readU32(), 0x04050607u);
                                         EXPECT_EQ(r.readText(), "ok");
                                     }}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(ByteWriter, AppendsAfterReservedCapacityWithoutLeadingBytes) {
    ByteWriter w(32);
    EXPECT_TRUE(w.data.empty());
    w.writeU16(0x0102);
    EXPECT_EQ(w.data, (Bytes{0x01, 0x02}));
}

// ---- Zero fill on short input ----

TEST(ByteReader, U32CutShortIsZeroFilledInLowBytesAndStaysAtEnd) {
    const Bytes p{0x12, 0x34, 0x56};
    ByteReader r(p);
    EXPECT_EQ(r.readU32(), 0x12345600u);
    EXPECT_EQ(r.remaining(), 0u);
    EXPECT_EQ(r.readU8(), 0);
    EXPECT_EQ(r.remaining(), 0u);
    EXPECT_EQ(r.offset, 3u);
}

TEST(ByteReader, SingleByteLeftReadsAsHighByteOfU16) {
    const Bytes p{0xAB};
    ByteReader r(p);
    EXPECT_EQ(r.readU16(), 0xAB00);
    EXPECT_EQ(r.remaining(), 0u);
}

TEST(ByteReader, U64CutShortKeepsPresentBytesMostSignificant) {
    const Bytes p{0x01, 0x02, 0x03, 0x04, 0x05};
    ByteReader r(p);
    EXPECT_EQ(r.readU64(), 0x0102030405000000ull);
}

TEST(ByteReader, EmptyPayloadReadsZerosEverywhere) {
    ByteReader r(std::span<const uint8_t>{});
    EXPECT_EQ(r.readU8(), 0);
    EXPECT_EQ(r.readU16(), 0);
    EXPECT_EQ(r.readU32(), 0u);
    EXPECT_EQ(r.readU64(), 0u);
    EXPECT_EQ(r.readF32(), 0.0f);
    EXPECT_TRUE(r.readRest().empty());
    EXPECT_EQ(r.readText(), "");
    EXPECT_EQ(r.offset, 0u);
}

TEST(ByteReader, ReadRestTakesFromOffsetToEndOnce) {
    const Bytes p{0x01, 0x02, 0x03, 0x04};
    ByteReader r(p);
    r.readU8();
    EXPECT_EQ(r.readRest(), (Bytes{0x02, 0x03, 0x04}));
    EXPECT_EQ(r.offset, 4u);
    EXPECT_TRUE(r.readRest().empty());
}

TEST(ByteReader, DoesNotModifyItsData) {
    const Bytes p{0x3F, 0x80, 0x00, 0x00, 0x61};
    ByteReader r(p);
    r.readF32();
    r.readText();
    EXPECT_EQ(p, (Bytes{0x3F, 0x80, 0x00, 0x00, 0x61}));
}

// ---- UTF-8 repair ----

const std::string kFFFD = "\xEF\xBF\xBD";

Bytes bytesOf(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

struct RepairCase {
    const char* name;
    std::string input;
    std::string expected;
};

class Utf8Repair : public ::testing::TestWithParam<RepairCase> {};

TEST_P(Utf8Repair, ReplacesEachMaximalInvalidSubpart) {
    const auto& c = GetParam();
    EXPECT_EQ(repairUtf8(bytesOf(c.input)), c.expected);
    // The reader's text path repairs the same way.
    const Bytes b = bytesOf(c.input);
    ByteReader r(b);
    EXPECT_EQ(r.readText(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    ByteCodec, Utf8Repair,
    ::testing::Values(RepairCase{"empty", "", ""}, RepairCase{"ascii", "hello\n123456", "hello\n123456"},
                      RepairCase{"validMultiByte", "\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E\xEF\xBF\xBF",
                                 "\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E\xEF\xBF\xBF"},
                      RepairCase{"boundaries",
                                 "\xC2\x80\xE0\xA0\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\xED\x9F\xBF",
                                 "\xC2\x80\xE0\xA0\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\xED\x9F\xBF"},
                      RepairCase{"nulIsValid", std::string("a\0b", 3), std::string("a\0b", 3)},
                      RepairCase{"truncatedAtEnd", "a\xE2\x82", "a" + kFFFD},
                      RepairCase{"truncatedFourByteAtEnd", "\xF0\x9F\x98", kFFFD},
                      RepairCase{"truncatedBeforeAscii",
                                 "\xE2\x82"
                                 "A",
                                 kFFFD + "A"},
                      RepairCase{"leadFollowedByLead", "\xC3\xC3\xA9", kFFFD + "\xC3\xA9"},
                      RepairCase{"loneContinuation", "\x80", kFFFD},
                      RepairCase{"continuationRun", "\x80\xBF", kFFFD + kFFFD},
                      RepairCase{"overlongTwoByte", "\xC0\x80", kFFFD + kFFFD},
                      RepairCase{"overlongC1", "\xC1\xBF", kFFFD + kFFFD},
                      RepairCase{"overlongThreeByte", "\xE0\x80\x80", kFFFD + kFFFD + kFFFD},
                      RepairCase{"overlongFourByte", "\xF0\x80\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},
                      RepairCase{"surrogate", "\xED\xA0\x80", kFFFD + kFFFD + kFFFD},
                      RepairCase{"aboveMaxCodePoint", "\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},
                      RepairCase{"invalidLeadBytes", "\xF5\xFE\xFF", kFFFD + kFFFD + kFFFD},
                      RepairCase{"mixed",
                                 "a\x80"
                                 "b\xE2\x82\xAC"
                                 "c\xF0\x9F\x98",
                                 "a" + kFFFD +
                                     "b\xE2\x82\xAC"
                                     "c" +
                                     kFFFD},
                      RepairCase{"replacementCharacterItselfIsKept", kFFFD, kFFFD}),
    [](const auto& tp) { return std::string(tp.param.name); });

using test::isValidUtf8;

TEST(Utf8RepairProperty, EveryTwoByteInputRepairsToValidUtf8AndValidInputIsUnchanged) {
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            const Bytes in{uint8_t(a), uint8_t(b)};
            const std::string out = repairUtf8(in);
            const std::string raw(in.begin(), in.end());
            ASSERT_TRUE(isValidUtf8(out)) << a << " " << b;
            if (isValidUtf8(raw)) {
                ASSERT_EQ(out, raw) << a << " " << b;
            } else {
                ASSERT_NE(out.find(kFFFD), std::string::npos) << a << " " << b;
            }
        }
    }
}

TEST(Utf8RepairProperty, RandomInputsRepairToValidUtf8AndRepairIsIdempotent) {
    std::mt19937 rng(12345);
    // Bias towards bytes that form and break multi-byte sequences.
    const uint8_t interesting[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                   0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
    for (int iter = 0; iter < 20000; ++iter) {
        Bytes in(rng() % 9);
        for (auto& byte : in) {
            byte = (rng() % 2) ? interesting[rng() % std::size(interesting)] : uint8_t(rng());
        }
        const std::string out = repairUtf8(in);
        ASSERT_TRUE(isValidUtf8(out));
        ASSERT_EQ(repairUtf8(bytesOf(out)), out);
        const std::string raw(in.begin(), in.end());
        if (isValidUtf8(raw)) {
            ASSERT_EQ(out, raw);
        }
    }
}

}  // namespace
}  // namespace tarvello
