// Writing gates through operation 7 over the emulated line: the command and EX write
// requests byte for byte, the value encoding, the eight attempts, and every refusal.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "protocol.h"
#include "protocol_fixture.h"

namespace {

using namespace prototest;
using namespace std::string_literals;

class Write : public ProtocolTest {};

TEST_F(Write, CommandRequests) {
    struct Case {
        float value;
        std::int32_t plc;
        std::string request;
    };
    const std::vector<Case> cases{
        {1.0f, 1, "!00701415\r\n"},
        {2.0f, 1, "!00701426\r\n"},
        {1.5f, 1, "!00701426\r\n"},
        {std::nextafter(1.0f, 2.0f), 1, "!00701426\r\n"},
        {1.0f, 0, "!0070041" + std::string(1, ChecksumOf("!0070041")) + "\r\n"},
        {2.0f, 99, "!0079942" + std::string(1, ChecksumOf("!0079942")) + "\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        Reopen();
        float value = c.value;
        GateIoRecord gate = Gate(c.plc, MEMTYPE_INDEX_ZERO, 1, &value, 0);
        // Any verified frame acknowledges; one of length 6 ahead of it is skipped.
        Script({Frame(kAsked) + Frame(std::string(kAsked) + "ok")});
        EXPECT_EQ(Call(VpiOperation::Write, gate), VpiDone);
        EXPECT_EQ(Sent(), std::vector<std::string>{c.request});
        ExpectStateKept(c.request + '\0');
        EXPECT_TRUE(log_.Take().empty());
    }
}

TEST_F(Write, ExWriteRequests) {
    struct Case {
        std::vector<float> values;
        std::string request;
    };
    const std::vector<Case> cases{
        {{12.7f}, "!01801a0A010000000Cj\r\n"},
        {{-1.0f}, "!01801a0A01FFFFFFFFO\r\n"},
        {{}, "!01001a0A01;\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        Reopen();
        std::vector<float> values = c.values;
        GateIoRecord gate = Gate(1, MEMTYPE_EX, static_cast<std::int32_t>(values.size()),
                                 values.empty() ? nullptr : values.data(), 0x0A01);
        Script({Frame(std::string(kAsked) + "ack")});
        EXPECT_EQ(Call(VpiOperation::Write, gate), VpiDone);
        EXPECT_EQ(Sent(), std::vector<std::string>{c.request});
        ExpectStateKept("");  // built in storage of its own: requestBuffer untouched
    }

    // The longest: 36 values, 302 bytes, a valid checksum over 298 counted bytes.
    Reopen();
    std::vector<float> values(36);
    std::string body = "01a0AFF";
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<float>(i) * -1000.5f;
        const auto bits = static_cast<std::uint32_t>(static_cast<std::int64_t>(values[i]));
        for (int k = 7; k >= 0; --k) body += "0123456789ABCDEF"[(bits >> (4 * k)) & 15];
    }
    GateIoRecord gate = Gate(1, MEMTYPE_EX, 36, values.data(), 0x0AFF);
    Script({Frame(std::string(kAsked) + "ack")});
    EXPECT_EQ(Call(VpiOperation::Write, gate), VpiDone);
    ASSERT_EQ(Sent().size(), 1u);
    EXPECT_EQ(Sent()[0], Frame(body));
    EXPECT_EQ(Sent()[0].size(), 302u);
    ExpectStateKept("");
}

TEST(ExValueEncoding, TruncationTwosComplementAndTheLimits) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float value;
        std::uint32_t encoded;
    };
    const std::vector<Case> cases{
        {12.7f, 0x0000000Cu},
        {-1.0f, 0xFFFFFFFFu},
        {-2.5f, 0xFFFFFFFEu},
        {0.999f, 0u},
        {-0.999f, 0u},
        {2147483648.0f, 0x80000000u},
        {4294967296.0f, 0u},
        {4294967296.0f + 512.0f, 512u},  // low 32 bits only
        {-4294967296.0f, 0u},
        {9.2233715e18f, 0x00000000u},  // just below 2^63
        {9223372036854775808.0f, 0u},
        {-9223372036854775808.0f, 0u},
        {nan, 0u},
        {-nan, 0u},
        {inf, 0u},
        {-inf, 0u},
        {-16777216.0f, 0xFF000000u},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(protocol::EncodeExValue(c.value), c.encoded) << c.value;
    }
    // Above 2^32 only the low 32 bits of the integer go out.
    EXPECT_EQ(protocol::EncodeExValue(1099511627776.0f + 4096.0f * 1024.0f), 0x00400000u);
}

TEST_F(Write, AttemptsAndAcknowledgement) {
    float value = 1.0f;
    GateIoRecord gate = Gate(1, MEMTYPE_INDEX_ZERO, 1, &value, 0);
    // Silent meter: eight sends, each waiting a read time-out, then 2, no message.
    const auto start = fake::NowUs();
    EXPECT_EQ(Call(VpiOperation::Write, gate), VpiFailed);
    EXPECT_EQ(Sent(), std::vector<std::string>(8, "!00701415\r\n"));
    EXPECT_GE(fake::NowUs() - start, 8u * 1000000u);
    EXPECT_TRUE(log_.Take().empty());

    struct Case {
        const char* name;
        std::vector<std::optional<std::string>> script;
        std::int32_t result;
        std::size_t sends;
    };
    const std::string ack = Frame(std::string(kAsked) + "whatever");
    const std::vector<Case> cases{
        {"first attempt", {ack}, VpiDone, 1},
        {"after a bad checksum and garbage", {Corrupted(ack), "\r\n" + ack, ack}, VpiDone, 3},
        {"eight bad checksums", std::vector<std::optional<std::string>>(8, Corrupted(ack)),
         VpiFailed, 8},
        {"seven silent, then good",
         {std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
          std::nullopt, ack},
         VpiDone,
         8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reopen();
        Script(c.script);
        EXPECT_EQ(Call(VpiOperation::Write, gate), c.result);
        EXPECT_EQ(fake::Writes().size(), c.sends);
        EXPECT_TRUE(log_.Take().empty());
        ExpectStateKept("!00701415\r\n"s + '\0');
    }
}

TEST_F(Write, RefusalsSendNothing) {
    float one = 1.0f;
    float low = 0.999f;
    float high = 2.0001f;
    float nan = std::numeric_limits<float>::quiet_NaN();
    float zero = 0.0f;
    std::vector<float> many(40, 1.0f);
    struct Case {
        const char* name;
        GateIoRecord gate;
    };
    const std::vector<Case> cases{
        {"command 0.999", Gate(1, MEMTYPE_INDEX_ZERO, 1, &low, 0)},
        {"command 2.0001", Gate(1, MEMTYPE_INDEX_ZERO, 1, &high, 0)},
        {"command NaN", Gate(1, MEMTYPE_INDEX_ZERO, 1, &nan, 0)},
        {"command 0", Gate(1, MEMTYPE_INDEX_ZERO, 1, &zero, 0)},
        {"command without a value", Gate(1, MEMTYPE_INDEX_ZERO, 0, &one, 0)},
        {"command values missing", Gate(1, MEMTYPE_INDEX_ZERO, 1, nullptr, 0)},
        {"command PLC 100", Gate(100, MEMTYPE_INDEX_ZERO, 1, &one, 0)},
        {"EX count -1", Gate(1, MEMTYPE_EX, -1, many.data(), 0x0A01)},
        {"EX count 37", Gate(1, MEMTYPE_EX, 37, many.data(), 0x0A01)},
        {"EX group 9", Gate(1, MEMTYPE_EX, 1, many.data(), 0x0901)},
        {"EX group 11", Gate(1, MEMTYPE_EX, 1, many.data(), 0x0B01)},
        {"EX values missing", Gate(1, MEMTYPE_EX, 2, nullptr, 0x0A01)},
        {"EX PLC -1", Gate(-1, MEMTYPE_EX, 1, many.data(), 0x0A01)},
        {"plain gate", Gate(1, MEMTYPE_PLAIN, 1, &one)},
        {"H gate", Gate(1, MEMTYPE_H1, 1, &one)},
        {"TR gate", Gate(1, MEMTYPE_TR1, 1, &one)},
        {"memtype 199", Gate(1, 199, 1, &one)},
    };
    for (Case c : cases) {
        SCOPED_TRACE(c.name);
        Always(Frame(std::string(kAsked) + "ack"));
        EXPECT_EQ(Call(VpiOperation::Write, c.gate), VpiRefused);
        EXPECT_TRUE(fake::Writes().empty());
        EXPECT_TRUE(log_.Take().empty());
        ExpectStateKept("");
    }

    // Only bits 8 to 15 name the group: an index of 0x7F0A01 is group 10, item 1, and goes out.
    float value = 12.7f;
    GateIoRecord wide = Gate(1, MEMTYPE_EX, 1, &value, 0x7F0A01);
    Always(Frame(std::string(kAsked) + "ack"));
    EXPECT_EQ(Call(VpiOperation::Write, wide), VpiDone);
    EXPECT_EQ(Sent(), std::vector<std::string>{"!01801a0A010000000Cj\r\n"});
}

}  // namespace
