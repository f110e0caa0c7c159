// Reading gates through operations 5 and 6 over the emulated line: the worked decodings of
// every family, a seeded round trip against replies built here, the retry policy with its
// log lines, the "0" fill of the receive buffer, and fault sweeps over cut replies.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "protocol_fixture.h"

namespace {

using namespace prototest;
using vpitest::LogLine;

constexpr std::array<int, 40> kPlainWidths{4, 4, 4, 5, 5, 5, 6, 6, 6, 4, 4, 4, 6, 4,
                                           6, 5, 4, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
                                           5, 5, 5, 2, 6, 6, 4, 4, 4, 4, 4, 4};
// Fields whose decimal-point values come in kilo-units.
bool Kilo(std::size_t field) {
    return !(field >= 9 && field <= 11) && field != 13 && field != 16 && field != 31 && field < 34;
}

std::string DataLine(int plc) {
    return "Xerbo : Fail to recv response to read data (Vpi # 7,PLC # " + std::to_string(plc) + ")";
}
std::string ChecksumLine(int plc) {
    return "Xerbo : Check Sum fails (Vpi # 7,PLC # " + std::to_string(plc) + ")";
}
std::string ConvertLine(const std::string& text, int plc) {
    return "Xerbo : Fail to convert " + text + " to float (Vpi # 7,PLC # " + std::to_string(plc) +
           ")";
}
std::string HConvertLine(const std::string& text, int plc) {
    return "Xerbo : Fail to convert " + text + " to float(Vpi#7,PLC#" + std::to_string(plc) + ")";
}

// The C library's own reading of a decimal text, in the C locale (tests only).
float LibraryFloat(const std::string& text) {
    return std::strtof(text.c_str(), nullptr);
}

// 40 plain fields: integers without a decimal point, field 31 a hex pair.
std::vector<std::string> PlainFields() {
    std::vector<std::string> f;
    for (std::size_t i = 0; i < 40; ++i) {
        f.push_back(i == 31 ? "1F"
                            : std::string(static_cast<std::size_t>(kPlainWidths[i]) - 1, '0') +
                                  static_cast<char>('0' + i % 10));
    }
    return f;
}
std::string Join(const std::vector<std::string>& fields, std::size_t n = 1000) {
    std::string s;
    for (std::size_t i = 0; i < fields.size() && i < n; ++i) s += fields[i];
    return s;
}

class Read : public ProtocolTest {};

TEST_F(Read, PlainWorkedDecodingsAndKiloScaling) {
    std::vector<std::string> f = PlainFields();
    f[0] = "1.25";  // kilo: 1250
    f[1] = "0.50";  // kilo: 500
    f[2] = "0500";  // no point: as it is
    f[9] = "1.25";  // flag clear
    f[10] = "0.50";
    f[31] = "FF";
    f[15] = "-2.5e";  // incomplete exponent ignored, point present: −2500
    f[30] = " 1e+1";  // no point: 10, not scaled
    GuardedValues values(40);
    GateIoRecord gate = Gate(1, MEMTYPE_PLAIN, 40, values.data());
    Script({Reply(Join(f))});
    ASSERT_EQ(Call(VpiOperation::Read, gate), VpiDone);
    EXPECT_EQ(values[0], 1250.0f);
    EXPECT_EQ(values[1], 500.0f);
    EXPECT_EQ(values[2], 500.0f);
    EXPECT_EQ(values[9], 1.25f);
    EXPECT_EQ(values[10], 0.5f);
    EXPECT_EQ(values[31], 255.0f);
    EXPECT_EQ(values[15], -2500.0f);
    EXPECT_EQ(values[30], 10.0f);
    EXPECT_EQ(values[39], 9.0f);
    EXPECT_TRUE(values.GuardsIntact());
    EXPECT_TRUE(log_.Take().empty());
    ExpectStateKept(std::string("!006010}\r\n") + '\0');

    // Field 31 is read as "%X" reads it: a leading blank skipped, a sign taken; the value is
    // never kilo-scaled.
    const std::vector<std::pair<std::string, float>> statusBytes{
        {"0A", 10.0f}, {" F", 15.0f}, {"-1", -1.0f}, {"+C", 12.0f}, {"f0", 240.0f}, {"7x", 7.0f}};
    for (const auto& [text, expected] : statusBytes) {
        SCOPED_TRACE(text);
        f[31] = text;
        Script({Reply(Join(f))});
        ASSERT_EQ(Call(VpiOperation::Read, gate), VpiDone);
        EXPECT_EQ(values[31], expected);
        EXPECT_TRUE(log_.Take().empty());
    }
}

TEST_F(Read, PlainCountAndEndOfData) {
    const std::vector<std::string> f = PlainFields();
    {
        // 40 fields on the line, 28 wanted: the rest are ignored.
        GuardedValues values(28);
        GateIoRecord gate = Gate(1, MEMTYPE_PLAIN, 28, values.data());
        Script({Reply(Join(f))});
        ASSERT_EQ(Call(VpiOperation::Read, gate), VpiDone);
        EXPECT_EQ(values[27], 7.0f);
        EXPECT_TRUE(values.GuardsIntact());
    }
    {
        // A reply that ends after field 27, for 40 wanted: 28 stored, 0.
        GuardedValues values(40);
        GateIoRecord gate = Gate(1, MEMTYPE_PLAIN, 40, values.data());
        Reopen();
        Script({Reply(Join(f, 28))});
        ASSERT_EQ(Call(VpiOperation::Read, gate), VpiDone);
        EXPECT_EQ(values[27], 7.0f);
        EXPECT_EQ(values.Untouched(), 12u);
        EXPECT_EQ(values[28], GuardedValues::kSentinel);
        EXPECT_EQ(fake::Writes().size(), 1u);
    }
    {
        // More than the table: stops at field 39; 0 or fewer: the exchange, nothing stored.
        GuardedValues values(45);
        GateIoRecord gate = Gate(1, MEMTYPE_PLAIN, 45, values.data());
        Script({Reply(Join(f) + "77777")});
        ASSERT_EQ(Call(VpiOperation::Read, gate), VpiDone);
        EXPECT_EQ(values.Untouched(), 5u);
        GateIoRecord none = Gate(1, MEMTYPE_PLAIN, 0, nullptr);
        Script({Reply(Join(f))});
        EXPECT_EQ(Call(VpiOperation::Read, none), VpiDone);
        none.count = -3;
        Script({Reply(Join(f))});
        EXPECT_EQ(Call(VpiOperation::Read, none), VpiDone);
    }
}

TEST_F(Read, CountZeroStillMakesTheWholeExchange) {
    // With nothing to store, the plain, H and T routines still ask the meter and take its reply.
    struct Case {
        std::int32_t memtype;
        std::string request;
        std::string data;
    };
    const std::vector<Case> cases{
        {MEMTYPE_PLAIN, "!006010}\r\n", "1.25"},
        {MEMTYPE_H3, "!00701H3K\r\n", "12.50"},
        {MEMTYPE_TD2, "!00801Q01" + std::string(1, ChecksumOf("!00801Q01")) + "\r\n" + '\0', "0A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        Reopen();
        GateIoRecord gate = Gate(1, c.memtype, 0, nullptr);
        Script({Reply(c.data)});
        EXPECT_EQ(Call(VpiOperation::Read, gate), VpiDone);
        EXPECT_EQ(Sent(), std::vector<std::string>{c.request});
        EXPECT_EQ(fake::Pending("COM1"), 0u);  // the reply was taken off the line
        EXPECT_TRUE(log_.Take().empty());
    }
}

TEST_F(Read, PlainConversionFailures) {
    struct Case {
        std::size_t field;
        std::string text;
        std::string logged;
    };
    const std::vector<Case> cases{
        {2, "abcd", "abcd"},
        {3, "  .  ", "  .  "},
        // Field 31 must begin a hexadecimal number: letters past F in either case, and the
        // characters between the two alphabets, do not; nor does a sign or blank alone.
        {31, "G1", "G1"},
        {31, "g1", "g1"},
        {31, "z0", "z0"},
        {31, "_1", "_1"},
        {31, "- ", "- "},
        {31, "  ", "  "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<std::string> f = PlainFields();
        f[c.field] = c.text;
        GuardedValues values(40);
        GateIoRecord gate = Gate(3, MEMTYPE_PLAIN, 40, values.data());
        Always(Reply(Join(f)));
        EXPECT_EQ(Call(VpiOperation::Read, gate), VpiRefused);
        EXPECT_EQ(log_.Take(), std::vector<LogLine>(8, LogLine{8, ConvertLine(c.logged, 3)}));
        EXPECT_EQ(values.Untouched(), 40 - c.field);  // earlier fields stay stored
        EXPECT_TRUE(values.GuardsIntact());
        Reopen();
    }
}

TEST_F(Read, HarmonicsDecodingAndItsOwnMessages) {
    GuardedValues values(34);
    GateIoRecord gate = Gate(2, MEMTYPE_H3, 34, values.data());
    std::string data;
    for (int i = 0; i < 34; ++i) data += i == 0 ? "12.50" : i == 1 ? "03.10" : "-0.5 ";
    Script({Reply(data)});
    ASSERT_EQ(Call(VpiOperation::Read, gate), VpiDone);
    EXPECT_EQ(values[0], 12.5f);
    EXPECT_EQ(values[1], 3.1f);
    EXPECT_EQ(values[33], -0.5f);
    EXPECT_TRUE(values.GuardsIntact());
    ExpectStateKept("!00702H3" + std::string(1, ChecksumOf("!00702H3")) + "\r\n" + '\0');

    // X first: 1 with no message and nothing stored, on every attempt; also for count 0.
    GuardedValues untouched(34);
    GateIoRecord xGate = Gate(2, MEMTYPE_H1, 34, untouched.data());
    Always(Reply("X" + std::string(169, '1')));
    EXPECT_EQ(Call(VpiOperation::Read, xGate), VpiRefused);
    EXPECT_EQ(fake::Writes().size(), 9u);
    EXPECT_EQ(untouched.Untouched(), 34u);
    xGate.count = 0;
    Always(Reply("X"));
    EXPECT_EQ(Call(VpiOperation::Read, xGate), VpiRefused);
    EXPECT_TRUE(log_.Take().empty());

    // A bad checksum is a meter fault without numbers; a bad field has the H wording.
    // Only the last attempt's result counts: here a silent one.
    Script({Corrupted(Reply(data)), std::nullopt, Reply("12.50ab.cd")});
    EXPECT_EQ(Call(VpiOperation::Read, gate), VpiFailed);
    const std::vector<LogLine> expected{
        {8, "Xerbo : Hermony read - Check Sum fails"},
        {8, "Xerbo : Fail to recv response to read Hermony (Vpi # 7,PLC # 2)"},
        {8, HConvertLine("ab.cd", 2)},
        {8, "Xerbo : Fail to recv response to read Hermony (Vpi # 7,PLC # 2)"},
        {8, "Xerbo : Fail to recv response to read Hermony (Vpi # 7,PLC # 2)"},
        {8, "Xerbo : Fail to recv response to read Hermony (Vpi # 7,PLC # 2)"},
        {8, "Xerbo : Fail to recv response to read Hermony (Vpi # 7,PLC # 2)"},
        {8, "Xerbo : Fail to recv response to read Hermony (Vpi # 7,PLC # 2)"},
    };
    EXPECT_EQ(log_.Take(), expected);
}

TEST_F(Read, TBlocksDigitRuleAndPlusOne) {
    struct Case {
        std::int32_t memtype;
        std::int32_t count;
        std::string data;
        std::vector<float> expected;
    };
    std::string td(50, '0');
    std::vector<float> tdExpected(25, 0.0f);
    for (std::size_t i = 0; i < 25; i += 3) tdExpected[i] = 1.0f;
    std::string tc(66, '0');
    std::vector<float> tcExpected(33, 1.0f);
    tcExpected[1] = 0.0f;
    const std::vector<Case> cases{
        {MEMTYPE_TR1, 3, "0A0A00FF", {11, 10, 255}},
        {MEMTYPE_TR8, 3, "FF00FFFF", {256, 0, 65535}},
        {MEMTYPE_TK1, 3, "0A0A00FF", {10, 10, 255}},
        {MEMTYPE_TK3, 3, "FFFFFFFF", {255, 255, 65535}},
        {MEMTYPE_TY1, 2, "0000", {1, 0}},
        {MEMTYPE_TY2, 2, "FEFF", {255, 255}},
        {MEMTYPE_TD7, 25, td, tdExpected},
        {MEMTYPE_TC1, 33, tc, tcExpected},
        {MEMTYPE_TC24, 33, tc, tcExpected},
        // Outside 0-9 and A-F: the digit rule's number, negative ones as they are; a larger
        // one keeps its w + 1 lowest decimal digits; decoding goes on.
        {MEMTYPE_TR1,
         3,
         "zza0 1-1",
         {140, 672, (' ' - 55) * 4096 + (1) * 256 + ('-' - 55) * 16 + 1}},
        {MEMTYPE_TK1,
         3,
         "\x7f\x7f\x7f\x7f\x7f\x7f\x7f\x7f",
         {(72 * 16 + 72) % 1000, (72 * 16 + 72) % 1000, (72 * 4369) % 100000}},
        // A NUL ends a field's text early.
        {MEMTYPE_TY1,
         2,
         std::string("0\0"
                     "0A",
                     4),
         {1, 10}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.memtype) + " " + c.data);
        GuardedValues values(static_cast<std::size_t>(c.count));
        GateIoRecord gate = Gate(5, c.memtype, c.count, values.data());
        Script({Reply(c.data)});
        ASSERT_EQ(Call(VpiOperation::Read, gate), VpiDone);
        for (std::size_t i = 0; i < c.expected.size(); ++i)
            EXPECT_EQ(values[i], c.expected[i]) << i;
        EXPECT_TRUE(values.GuardsIntact());
        EXPECT_TRUE(log_.Take().empty());
    }
    // More fields wanted than the table has: the table's end stops the decoding.
    GuardedValues values(6);
    GateIoRecord gate = Gate(5, MEMTYPE_TR1, 6, values.data());
    Script({Reply("000000000000")});
    ASSERT_EQ(Call(VpiOperation::Read, gate), VpiDone);
    EXPECT_EQ(values.Untouched(), 3u);
    EXPECT_TRUE(values.GuardsIntact());
}

TEST_F(Read, ExBlocks) {
    GuardedValues values(3);
    GateIoRecord gate = Gate(4, MEMTYPE_EX, 2, values.data(), 0x0A01);
    Script({Reply("020000000AFFFFFFFE")});
    ASSERT_EQ(Call(VpiOperation::ReadEx, gate), VpiDone);
    EXPECT_EQ(values[0], 10.0f);
    EXPECT_EQ(values[1], -2.0f);
    EXPECT_EQ(values[2], GuardedValues::kSentinel);

    Script({Reply("02800000007FFFFFFF")});
    ASSERT_EQ(Call(VpiOperation::ReadEx, gate), VpiDone);
    EXPECT_EQ(values[0], -2147483648.0f);
    EXPECT_EQ(values[1], 2147483648.0f);
    Script({Reply("02fffffffe0000000b")});  // either case
    ASSERT_EQ(Call(VpiOperation::ReadEx, gate), VpiDone);
    EXPECT_EQ(values[0], -2.0f);
    EXPECT_EQ(values[1], 11.0f);

    // A count that differs, or none: 1, silent, nothing stored.
    GuardedValues fresh(3);
    GateIoRecord three = Gate(4, MEMTYPE_EX, 3, fresh.data(), 0x0A01);
    for (const std::string& data :
         {std::string("020000000AFFFFFFFE"), std::string("zz0000000A00000001000000002")}) {
        Script({Reply(data)});
        EXPECT_EQ(Call(VpiOperation::ReadEx, three), VpiRefused);
    }
    EXPECT_EQ(fresh.Untouched(), 3u);
    EXPECT_TRUE(log_.Take().empty());

    // Count 0 against "00": done, nothing stored.
    GateIoRecord zero = Gate(4, MEMTYPE_EX, 0, nullptr, 0x0A01);
    Script({Reply("00")});
    EXPECT_EQ(Call(VpiOperation::ReadEx, zero), VpiDone);

    // A field that does not convert: the data message with its text.
    Script({Reply("020000000Axyz00001")});
    EXPECT_EQ(Call(VpiOperation::ReadEx, gate), VpiRefused);
    EXPECT_EQ(log_.Take(), (std::vector<LogLine>{{8, ConvertLine("xyz00001", 4)}}));
}

TEST_F(Read, RefusalsSendNothing) {
    float v[4] = {};
    struct Case {
        const char* name;
        VpiOperation op;
        GateIoRecord gate;
    };
    const std::vector<Case> cases{
        {"index-zero gate", VpiOperation::Read, Gate(1, MEMTYPE_INDEX_ZERO, 1, v, 0)},
        {"memtype 7", VpiOperation::Read, Gate(1, 7, 1, v)},
        {"memtype 22", VpiOperation::Read, Gate(1, 22, 1, v)},
        {"memtype 195", VpiOperation::Read, Gate(1, 195, 1, v)},
        {"memtype -1", VpiOperation::Read, Gate(1, -1, 1, v)},
        {"plain through operation 5", VpiOperation::ReadEx, Gate(1, MEMTYPE_PLAIN, 1, v)},
        {"EX count 37", VpiOperation::ReadEx, Gate(1, MEMTYPE_EX, 37, v, 0x0A01)},
        {"EX count -1", VpiOperation::ReadEx, Gate(1, MEMTYPE_EX, -1, v, 0x0A01)},
        {"EX count 256 through operation 6", VpiOperation::Read,
         Gate(1, MEMTYPE_EX, 256, v, 0x0A01)},
        {"values missing", VpiOperation::Read, Gate(1, MEMTYPE_PLAIN, 40, nullptr)},
        {"EX values missing", VpiOperation::ReadEx, Gate(1, MEMTYPE_EX, 2, nullptr, 0x0A01)},
        {"PLC 100", VpiOperation::Read, Gate(100, MEMTYPE_H1, 34, v)},
        {"PLC -1", VpiOperation::Read, Gate(-1, MEMTYPE_TR1, 3, v)},
    };
    for (Case c : cases) {
        SCOPED_TRACE(c.name);
        Always(Reply("00"));
        EXPECT_EQ(Call(c.op, c.gate), VpiRefused);
        EXPECT_TRUE(fake::Writes().empty());
        EXPECT_TRUE(log_.Take().empty());
        ExpectStateKept("");
    }
    for (float x : v) EXPECT_EQ(x, 0.0f);
}

TEST_F(Read, RetriesCountRequestsAndLines) {
    const std::string good = Reply("0A0A00FF");
    const std::string bad = Corrupted(good);
    struct Case {
        const char* name;
        std::vector<std::optional<std::string>> script;
        std::int32_t result;
        std::size_t requests;
        std::vector<LogLine> lines;
    };
    const LogLine silent{8, DataLine(9)};
    const LogLine checksum{32, ChecksumLine(9)};
    std::vector<std::optional<std::string>> sevenSilent(7, std::nullopt);
    std::vector<std::optional<std::string>> sevenBad(7, bad);
    auto with = [](std::vector<std::optional<std::string>> v, std::optional<std::string> last) {
        v.push_back(std::move(last));
        return v;
    };
    auto lines = [](std::size_t n, LogLine a, std::size_t m, LogLine b) {
        std::vector<LogLine> out(n, a);
        out.insert(out.end(), m, b);
        return out;
    };
    const std::vector<Case> cases{
        {"silent", {}, VpiFailed, 8, std::vector<LogLine>(8, silent)},
        {"bad checksum", std::vector<std::optional<std::string>>(8, bad), VpiRefused, 8,
         std::vector<LogLine>(8, checksum)},
        {"7 silent, then checksum", with(sevenSilent, bad), VpiRefused, 8,
         lines(7, silent, 1, checksum)},
        {"7 checksum, then silent", with(sevenBad, std::nullopt), VpiFailed, 8,
         lines(7, checksum, 1, silent)},
        {"silent, then good", {std::nullopt, good}, VpiDone, 2, {silent}},
        {"7 failures, then good", with(sevenBad, good), VpiDone, 8,
         std::vector<LogLine>(7, checksum)},
        {"garbage, then good", {"\r\n" + good, good}, VpiDone, 2, {silent}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reopen();
        float values[3] = {};
        GateIoRecord gate = Gate(9, MEMTYPE_TR1, 3, values);
        Script(c.script);
        EXPECT_EQ(Call(VpiOperation::Read, gate), c.result);
        EXPECT_EQ(fake::Writes().size(), c.requests);
        EXPECT_EQ(log_.Take(), c.lines);
        if (c.result == VpiDone) {
            EXPECT_EQ(values[0], 11.0f);
        }
    }
    // Operation 5 makes one exchange: silence gives 2 and one line.
    Reopen();
    float values[2] = {};
    GateIoRecord ex = Gate(9, MEMTYPE_EX, 2, values, 0x0A01);
    EXPECT_EQ(Call(VpiOperation::ReadEx, ex), VpiFailed);
    EXPECT_EQ(fake::Writes().size(), 1u);
    EXPECT_EQ(log_.Take(), std::vector<LogLine>{silent});
}

TEST_F(Read, TheZeroFillHappensOncePerOperation) {
    // First attempt: a long reply with a bad checksum; second: a short good one. Behind the
    // second frame lie the first one's bytes, then the fill.
    // Replies as meter 01 sends them to a TY request, so that they are stored as written.
    const std::string longBad = Corrupted(Frame("01U" + std::string(60, '7')));
    const std::string shortGood = Frame("01U0000");
    GuardedValues values(2);
    GateIoRecord gate = Gate(1, MEMTYPE_TY1, 2, values.data());
    Script({longBad, shortGood});
    ASSERT_EQ(Call(VpiOperation::Read, gate), VpiDone);
    EXPECT_EQ(Received(0, shortGood.size()), shortGood);
    EXPECT_EQ(Received(shortGood.size(), longBad.size() - shortGood.size()),
              longBad.substr(shortGood.size()));
    EXPECT_EQ(Received(longBad.size(), 500 - longBad.size()),
              std::string(500 - longBad.size(), '0'));

    // A first attempt that succeeds: "0" right behind its frame.
    Script({shortGood});
    ASSERT_EQ(Call(VpiOperation::Read, gate), VpiDone);
    EXPECT_EQ(Received(shortGood.size(), 500 - shortGood.size()),
              std::string(500 - shortGood.size(), '0'));

    // Operation 5 fills nothing.
    std::memset(state_.receiveBuffer, 'q', sizeof state_.receiveBuffer);
    float exValues[1] = {};
    GateIoRecord ex = Gate(1, MEMTYPE_EX, 1, exValues, 0x0A01);
    const std::string exReply = Reply("0100000005");
    Script({exReply});
    ASSERT_EQ(Call(VpiOperation::ReadEx, ex), VpiDone);
    EXPECT_EQ(exValues[0], 5.0f);
    EXPECT_EQ(Received(exReply.size(), 3), "qqq");
}

// ---- A seeded round trip: replies a meter would send, built here, for every family. ----

struct Expectation {
    std::int32_t memtype;
    std::int32_t count;
    std::int32_t index;
    std::string data;
    std::vector<float> values;
};

std::string RandomDecimal(std::mt19937& rng, int width) {
    // A number that fills exactly `width` characters: optional sign, digits, maybe a point.
    std::string s;
    if (width > 2 && rng() % 4 == 0) s += '-';
    const int digits = width - static_cast<int>(s.size());
    const int point =
        (rng() % 3 == 0) ? -1 : static_cast<int>(rng() % static_cast<unsigned>(digits));
    for (int i = 0; i < digits; ++i)
        s += (i == point && i > 0) ? '.' : static_cast<char>('0' + rng() % 10);
    return s;
}

Expectation RandomPlain(std::mt19937& rng) {
    Expectation e{MEMTYPE_PLAIN, rng() % 2 ? 40 : 28, 1, {}, {}};
    for (std::size_t i = 0; i < 40; ++i) {
        std::string text;
        float v = 0;
        if (i == 31) {
            const unsigned byte = rng() % 256;
            const char* digits = rng() % 2 ? "0123456789ABCDEF" : "0123456789abcdef";
            text = {digits[byte >> 4], digits[byte & 15]};
            v = static_cast<float>(byte);
        } else {
            text = RandomDecimal(rng, kPlainWidths[i]);
            v = LibraryFloat(text);
            if (Kilo(i) && text.find('.') != std::string::npos) v *= 1000.0f;
        }
        e.data += text;
        if (i < static_cast<std::size_t>(e.count)) e.values.push_back(v);
    }
    return e;
}

Expectation RandomH(std::mt19937& rng) {
    Expectation e{static_cast<std::int32_t>(1 + rng() % 6), 34, 1, {}, {}};
    for (int i = 0; i < 34; ++i) {
        std::string text = RandomDecimal(rng, 5);
        if (text[0] == 'X') text[0] = '1';
        e.data += text;
        e.values.push_back(LibraryFloat(text));
    }
    return e;
}

Expectation RandomT(std::mt19937& rng) {
    static const std::vector<std::int32_t> kMemtypes = [] {
        std::vector<std::int32_t> m{40, 41};
        for (std::int32_t i = 11; i <= 21; ++i) m.push_back(i);
        for (std::int32_t i = 51; i <= 66; ++i) m.push_back(i);
        for (std::int32_t i = 171; i <= 194; ++i) m.push_back(i);
        return m;
    }();
    Expectation e{kMemtypes[rng() % kMemtypes.size()], 0, 1, {}, {}};
    std::vector<int> widths;
    if (e.memtype <= 21)
        widths = {2, 2, 4};
    else if (e.memtype <= 41)
        widths = {2, 2};
    else if (e.memtype <= 66)
        widths.assign(25, 2);
    else
        widths.assign(33, 2);
    e.count = static_cast<std::int32_t>(widths.size());
    for (std::size_t i = 0; i < widths.size(); ++i) {
        unsigned n = 0;
        for (int k = 0; k < widths[i]; ++k) {
            const unsigned d = rng() % 16;
            n = n * 16 + d;
            e.data += "0123456789ABCDEF"[d];
        }
        bool plus = false;
        if (e.memtype <= 18)
            plus = i == 0;  // TR
        else if (e.memtype <= 21)
            plus = false;  // TK
        else if (e.memtype <= 41 || e.memtype >= 171)
            plus = i != 1;  // TY, TC
        else
            plus = i % 3 == 0;  // TD
        e.values.push_back(static_cast<float>(n + (plus ? 1 : 0)));
    }
    return e;
}

Expectation RandomEx(std::mt19937& rng) {
    Expectation e{MEMTYPE_EX,
                  static_cast<std::int32_t>(rng() % 37),
                  0x0A00 + static_cast<std::int32_t>(rng() % 256),
                  {},
                  {}};
    const char* upper = "0123456789ABCDEF";
    const char* lower = "0123456789abcdef";
    e.data += upper[e.count >> 4];
    e.data += upper[e.count & 15];
    for (int i = 0; i < e.count; ++i) {
        std::uint32_t bits = static_cast<std::uint32_t>(rng());
        if (rng() % 4 == 0)
            bits = static_cast<std::uint32_t>(static_cast<std::int32_t>(rng() % 2001) - 1000);
        const char* digits = rng() % 2 ? upper : lower;
        for (int k = 7; k >= 0; --k) e.data += digits[(bits >> (4 * k)) & 15];
        std::int32_t asSigned;
        std::memcpy(&asSigned, &bits, sizeof asSigned);
        e.values.push_back(static_cast<float>(asSigned));
    }
    return e;
}

TEST_F(Read, RoundTripOfEveryFamily) {
    ASSERT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");  // for the library's reading
    std::mt19937 rng(20240611);
    for (int round = 0; round < 400; ++round) {
        Expectation e;
        switch (round % 4) {
            case 0:
                e = RandomPlain(rng);
                break;
            case 1:
                e = RandomH(rng);
                break;
            case 2:
                e = RandomT(rng);
                break;
            default:
                e = RandomEx(rng);
                break;
        }
        SCOPED_TRACE("round " + std::to_string(round) + " memtype " + std::to_string(e.memtype) +
                     " data " + e.data);
        const int plc = static_cast<int>(rng() % 100);
        GuardedValues values(static_cast<std::size_t>(e.count));
        GateIoRecord gate = Gate(plc, e.memtype, e.count, values.data(), e.index);
        Script({Reply(e.data)});
        const std::size_t writesBefore = fake::Writes().size();
        ASSERT_EQ(Call(VpiOperation::Read, gate), VpiDone);
        EXPECT_EQ(fake::Writes().size(), writesBefore + 1);
        for (std::size_t i = 0; i < e.values.size(); ++i) {
            ASSERT_EQ(values[i], e.values[i]) << "field " << i;
        }
        ASSERT_TRUE(values.GuardsIntact());
        ASSERT_TRUE(log_.Take().empty());
    }
}

// ---- Fault sweeps ----

// A valid reply cut after byte k, for every k: no frame, 2, nothing stored.
TEST_F(Read, EveryCutOfTheFrameFailsCleanly) {
    std::mt19937 rng(7);
    const std::vector<Expectation> replies{RandomPlain(rng), RandomH(rng), RandomT(rng),
                                           RandomEx(rng)};
    for (const Expectation& e : replies) {
        const std::string frame = Reply(e.data);
        for (std::size_t k = 0; k < frame.size(); ++k) {
            SCOPED_TRACE("memtype " + std::to_string(e.memtype) + " cut after " +
                         std::to_string(k));
            Reopen();
            GuardedValues values(static_cast<std::size_t>(e.count));
            GateIoRecord gate = Gate(1, e.memtype, e.count, values.data(), e.index);
            Script({frame.substr(0, k)});
            const VpiOperation op =
                e.memtype == MEMTYPE_EX ? VpiOperation::ReadEx : VpiOperation::Read;
            ASSERT_EQ(Call(op, gate), VpiFailed);
            ASSERT_EQ(values.Untouched(), static_cast<std::size_t>(e.count));
            ASSERT_TRUE(values.GuardsIntact());
            const auto lines = log_.Take();
            ASSERT_FALSE(lines.empty());
            ExpectStateKept(Sent()[0] + (Sent()[0].back() == '\0' ? "" : std::string(1, '\0')));
        }
    }
}

// The data cut after k characters and framed anew with a correct checksum, for every k:
// the decoders stop at the frame, never reading what lies behind it. A cut on a field
// boundary ends the data there (0); elsewhere the reply is unusable (1, the field's partial
// text in the message). EX replies need every field.
TEST_F(Read, EveryShortenedReplyDecodesOnlyItsOwnBytes) {
    std::mt19937 rng(99);
    std::vector<Expectation> replies{RandomPlain(rng), RandomH(rng), RandomEx(rng)};
    for (int i = 0; i < 6; ++i) replies.push_back(RandomT(rng));
    replies[0] = [&] {
        Expectation e = RandomPlain(rng);
        while (e.count != 40) e = RandomPlain(rng);
        return e;
    }();
    replies[2] = [&] {
        Expectation e = RandomEx(rng);
        while (e.count < 3) e = RandomEx(rng);
        return e;
    }();
    for (const Expectation& e : replies) {
        std::vector<std::size_t> ends;  // where each field ends in the data
        std::size_t at = e.memtype == MEMTYPE_EX ? 2 : 0;
        for (std::size_t i = 0; i < e.values.size(); ++i) {
            std::size_t w = e.memtype == MEMTYPE_PLAIN ? static_cast<std::size_t>(kPlainWidths[i])
                            : e.memtype <= 6           ? 5
                            : e.memtype == MEMTYPE_EX  ? 8
                            : (e.memtype <= 21 && i == 2) ? 4
                                                          : 2;
            at += w;
            ends.push_back(at);
        }
        for (std::size_t k = 0; k <= e.data.size(); ++k) {
            SCOPED_TRACE("memtype " + std::to_string(e.memtype) + " data cut to " +
                         std::to_string(k));
            // Behind the frame, the buffer holds the full reply from an earlier attempt; none
            // of it may become a value.
            Reopen();
            GuardedValues values(static_cast<std::size_t>(e.count));
            GateIoRecord gate = Gate(1, e.memtype, e.count, values.data(), e.index);
            const std::string shortened = Reply(e.data.substr(0, k));
            std::vector<std::optional<std::string>> answers(8, shortened);
            answers[0] = Corrupted(Reply(e.data));
            Script(answers);
            const std::int32_t result = Call(VpiOperation::Read, gate);
            auto lines = log_.Take();
            ASSERT_FALSE(lines.empty());
            lines.erase(lines.begin());  // the first attempt's checksum line

            std::size_t whole = 0;  // fields wholly inside the shortened data
            while (whole < ends.size() && ends[whole] <= k) ++whole;
            const bool ex = e.memtype == MEMTYPE_EX;
            const bool boundary = whole > 0 && ends[whole - 1] == k;
            if (k == 0) {
                // No data at all is a frame of length 6, which the receiver skips.
                ASSERT_EQ(result, VpiFailed);
                ASSERT_EQ(
                    lines,
                    std::vector<LogLine>(
                        7,
                        LogLine{
                            8,
                            e.memtype >= 1 && e.memtype <= 6
                                ? "Xerbo : Fail to recv response to read Hermony (Vpi # 7,PLC # 1)"
                                : DataLine(1)}));
                ASSERT_EQ(values.Untouched(), static_cast<std::size_t>(e.count));
            } else if (ex ? k == e.data.size() : (boundary || whole == ends.size())) {
                ASSERT_EQ(result, VpiDone);
                ASSERT_TRUE(lines.empty());
                ASSERT_EQ(values.Untouched(), static_cast<std::size_t>(e.count) - whole);
            } else {
                ASSERT_EQ(result, VpiRefused);
                if (ex && k < 2) {
                    ASSERT_TRUE(lines.empty());  // no count: silent
                    ASSERT_EQ(values.Untouched(), static_cast<std::size_t>(e.count));
                } else {
                    const std::size_t start = whole == 0 ? (ex ? 2 : 0) : ends[whole - 1];
                    std::string partial = e.data.substr(start, k - start);
                    const std::string line = e.memtype <= 6 && e.memtype >= 1
                                                 ? HConvertLine(partial, 1)
                                                 : ConvertLine(partial, 1);
                    // Seven attempts remain after the first; each logs the same line.
                    ASSERT_EQ(lines, std::vector<LogLine>(7, LogLine{8, line}));
                    ASSERT_EQ(values.Untouched(), static_cast<std::size_t>(e.count) - whole);
                }
            }
            for (std::size_t i = 0; i < static_cast<std::size_t>(e.count); ++i) {
                if (values[i] != GuardedValues::kSentinel) {
                    ASSERT_EQ(values[i], e.values[i]) << i;
                }
            }
            ASSERT_TRUE(values.GuardsIntact());
        }
    }
}

}  // namespace
