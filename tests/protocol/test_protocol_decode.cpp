// The reply decoders on their own, as the line tools use them: frames held exactly (no
// receive buffer behind them), frames cut short or without a length, and the same results
// as the driver gets from the same frame in its receive buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "protocol.h"
#include "protocol_fixture.h"

namespace {

using protocol::DecodeResult;
using protocol::Decoding;
using prototest::Frame;

std::vector<std::uint8_t> Bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

// Decodes `frame` as `memtype` into `count` values.
Decoding DecodeAs(std::int32_t memtype, std::span<const std::uint8_t> frame,
                  std::vector<float>* values) {
    switch (memtype) {
        case MEMTYPE_PLAIN:
            return protocol::DecodePlainBlock(frame, *values);
        case MEMTYPE_H2:
            return protocol::DecodeHBlock(frame, *values);
        case MEMTYPE_EX:
            return protocol::DecodeExBlock(frame, *values);
        default:
            return protocol::DecodeTBlock(frame, memtype, *values);
    }
}

struct Case {
    const char* name;
    std::int32_t memtype;
    std::size_t count;
    std::string data;
    std::vector<float> expected;
};

const std::vector<Case> kCases{
    {"plain", MEMTYPE_PLAIN, 3, "1.250.50050012345", {1250.0f, 500.0f, 500.0f}},
    {"H", MEMTYPE_H2, 2, "12.5003.10", {12.5f, 3.1f}},
    {"TR", MEMTYPE_TR1, 3, "0A0A00FF", {11.0f, 10.0f, 255.0f}},
    {"TY", MEMTYPE_TY2, 2, "0A0A", {11.0f, 10.0f}},
    {"TD", MEMTYPE_TD4, 4, "00000000", {1.0f, 0.0f, 0.0f, 1.0f}},
    {"TC", MEMTYPE_TC13, 3, "000000", {1.0f, 0.0f, 1.0f}},
    {"EX", MEMTYPE_EX, 2, "020000000AFFFFFFFE", {10.0f, -2.0f}},
};

TEST(Decode, AFrameHeldExactlyDecodesAsInTheReceiveBuffer) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::uint8_t> exact = Bytes(Frame("01x" + c.data));
        std::vector<std::uint8_t> buffer(500, '0');  // the driver's receive buffer, filled
        std::copy(exact.begin(), exact.end(), buffer.begin());
        std::vector<float> fromExact(c.count, -1.0f);
        std::vector<float> fromBuffer(c.count, -1.0f);
        const Decoding a = DecodeAs(c.memtype, exact, &fromExact);
        const Decoding b = DecodeAs(c.memtype, buffer, &fromBuffer);
        EXPECT_EQ(a.result, DecodeResult::Decoded);
        EXPECT_EQ(b.result, DecodeResult::Decoded);
        EXPECT_EQ(a.stored, c.count);
        EXPECT_EQ(fromExact, c.expected);
        EXPECT_EQ(fromBuffer, c.expected);
    }
}

TEST(Decode, FramesWithoutALengthOrShorterThanItAreNoData) {
    const std::vector<std::string> frames{
        "",                                  // nothing
        "!0",                                // no length field
        "!ab4rest",                          // a length that does not parse
        Frame("01x0A0A00FF").substr(0, 12),  // cut before its CR
    };
    for (const Case& c : kCases) {
        for (const std::string& frame : frames) {
            SCOPED_TRACE(std::string(c.name) + " on \"" + frame + "\"");
            std::vector<float> values(c.count, -1.0f);
            const std::vector<std::uint8_t> bytes = Bytes(frame);
            const Decoding d = DecodeAs(c.memtype, bytes, &values);
            EXPECT_EQ(d.result, DecodeResult::NoData);
            EXPECT_EQ(d.stored, 0u);
            EXPECT_EQ(values, std::vector<float>(c.count, -1.0f));
        }
    }
}

TEST(Decode, AFieldThatDoesNotConvertIsNamedAndEarlierValuesStay) {
    std::vector<float> values(3, -1.0f);
    const std::vector<std::uint8_t> plain = Bytes(Frame("01x1.25ab.c0500"));
    const Decoding d = protocol::DecodePlainBlock(plain, values);
    EXPECT_EQ(d.result, DecodeResult::Unconvertible);
    EXPECT_STREQ(d.field.data(), "ab.c");
    EXPECT_EQ(d.stored, 1u);
    EXPECT_EQ(values, (std::vector<float>{1250.0f, -1.0f, -1.0f}));

    // Fields that would reach the checksum character are not data: the H block of a frame
    // with no data area at all, held exactly, reads nothing behind it.
    const std::vector<std::uint8_t> empty = Bytes(Frame(""));
    ASSERT_EQ(empty.size(), 7u);
    std::vector<float> one(1, -1.0f);
    const Decoding h = protocol::DecodeHBlock(empty, one);
    EXPECT_EQ(h.result, DecodeResult::Unconvertible);
    EXPECT_STREQ(h.field.data(), "");
    EXPECT_EQ(one[0], -1.0f);
}

TEST(Decode, OnlyTheFamiliesItServes) {
    // The T decoder takes TR, TK, TY, TD and TC codes; H's "X" and an EX count that differs
    // are refusals without a field.
    const std::vector<std::uint8_t> frame = Bytes(Frame("01x0A0A00FF"));
    std::vector<float> values(3, -1.0f);
    for (const std::int32_t memtype :
         std::vector<std::int32_t>{MEMTYPE_PLAIN, MEMTYPE_H1, MEMTYPE_INDEX_ZERO, MEMTYPE_EX, 7}) {
        SCOPED_TRACE(memtype);
        EXPECT_EQ(protocol::DecodeTBlock(frame, memtype, values).result, DecodeResult::NoData);
    }
    EXPECT_EQ(values, std::vector<float>(3, -1.0f));
    EXPECT_EQ(protocol::DecodeHBlock(Bytes(Frame("01HX1.5")), values).result, DecodeResult::NoData);
    std::vector<float> two(2, -1.0f);
    EXPECT_EQ(protocol::DecodeExBlock(Bytes(Frame("01A010000000A")), two).result,
              DecodeResult::NoData);
    EXPECT_EQ(two, std::vector<float>(2, -1.0f));
}

}  // namespace
