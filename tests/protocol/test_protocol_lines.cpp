// Lines as they are in the field, over the emulated line: late and stray replies from other
// meters or to other requests, adapters that echo the request, and chattering lines.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "log_capture.h"
#include "protocol_fixture.h"

namespace {

using namespace prototest;
using vpitest::LogLine;

std::string NoReplyLine(std::int32_t plc) {
    return "Xerbo : Fail to recv response to read data (Vpi # 7,PLC # " + std::to_string(plc) + ")";
}

// One gate of a family with its reply data, how the request's command reads in a reply
// header, and the values that data decodes to.
struct FamilyCase {
    const char* name;
    std::int32_t memtype;
    std::int32_t index;
    std::int32_t count;
    char command;
    std::string data;
    std::vector<float> values;  // the first ones decoded
    std::string otherData;      // what another meter, or another request, would carry
};

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

const std::vector<FamilyCase>& Families() {
    static const std::vector<FamilyCase> cases{
        {"plain",
         MEMTYPE_PLAIN,
         1,
         28,
         '0',
         Repeat("1.25", 3) + std::string(145, '1'),
         {1250.0f, 1250.0f, 1250.0f},
         Repeat("2.50", 3) + std::string(145, '2')},
        {"H2", MEMTYPE_H2, 1, 34, 'H', Repeat("12.50", 34), {12.5f, 12.5f}, Repeat("33.30", 34)},
        {"TR1", MEMTYPE_TR1, 1, 3, 'P', "0A0A00FF", {11.0f, 10.0f, 255.0f}, "0B0C0100"},
        {"TK1", MEMTYPE_TK1, 1, 3, 'P', "0A0A00FF", {10.0f, 10.0f, 255.0f}, "0B0C0100"},
        {"TY1", MEMTYPE_TY1, 1, 2, 'U', "0A0A", {11.0f, 10.0f}, "0C0D"},
        {"TD1",
         MEMTYPE_TD1,
         1,
         25,
         'Q',
         Repeat("02", 25),
         {3.0f, 2.0f, 2.0f, 3.0f},
         Repeat("05", 25)},
        {"TC13",
         MEMTYPE_TC13,
         1,
         33,
         'R',
         Repeat("1F", 33),
         {32.0f, 31.0f, 32.0f},
         Repeat("2A", 33)},
        {"EX",
         MEMTYPE_EX,
         0x0A01,
         2,
         'A',
         "020000000AFFFFFFFE",
         {10.0f, -2.0f},
         "0200000063FFFFFF00"},
    };
    return cases;
}

class Lines : public ProtocolTest {
protected:
    // A meter that answers each request with `before(request)` and then `reply`.
    void Answer(std::function<std::string(const std::string&)> before, std::string reply) {
        fake::SetResponder(
            [before, reply](const std::string& port, std::span<const std::uint8_t> request) {
                const std::string sent(request.begin(), request.end());
                fake::Deliver(port, before(sent) + Addressed(reply, request));
            });
    }

    void ExpectValues(const GuardedValues& values, const std::vector<float>& expected) {
        for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(values[i], expected[i]) << i;
        EXPECT_TRUE(values.GuardsIntact());
    }

    // A read of `count` values of `memtype` from meter `plc` that gets nothing of its own: it
    // fails after its eight attempts, each logged as no reply, and leaves the values alone.
    void ExpectNoReplyOfItsOwn(std::int32_t plc, std::int32_t memtype, std::int32_t count) {
        GuardedValues values(static_cast<std::size_t>(count));
        GateIoRecord gate = Gate(plc, memtype, count, values.data());
        EXPECT_EQ(Call(VpiOperation::Read, gate), VpiFailed);
        EXPECT_EQ(fake::Writes().size(), 8u);
        EXPECT_EQ(log_.Take(), std::vector<LogLine>(8, LogLine{8, NoReplyLine(plc)}));
        EXPECT_EQ(values.Untouched(), static_cast<std::size_t>(count));
    }
};

TEST_F(Lines, RepliesAnotherMeterOrToAnotherRequestArePassedOver) {
    // Late replies of meters 17 and 06, one digit off 07 (the tens, the units), sit ahead of
    // meter 07's own; then a reply of meter 07 itself to another command. None is taken: every
    // family reads its own values in one request.
    for (const FamilyCase& c : Families()) {
        SCOPED_TRACE(c.name);
        Reopen();
        const std::string late17 = Frame("17" + std::string(1, c.command) + c.otherData);
        const std::string late06 = Frame("06" + std::string(1, c.command) + c.otherData);
        const std::string other07 =
            Frame(c.command == 'H' ? "07P" + c.otherData : "07H" + c.otherData);
        Answer([&](const std::string&) { return late17 + late06 + other07; }, Reply(c.data));
        GuardedValues values(static_cast<std::size_t>(c.count));
        GateIoRecord gate = Gate(7, c.memtype, c.count, values.data(), c.index);
        const auto operation = c.memtype == MEMTYPE_EX ? VpiOperation::ReadEx : VpiOperation::Read;
        ASSERT_EQ(Call(operation, gate), VpiDone);
        EXPECT_EQ(fake::Writes().size(), 1u);
        EXPECT_TRUE(log_.Take().empty());
        ExpectValues(values, c.values);
    }
}

TEST_F(Lines, OnlyAnotherMetersRepliesWithoutItsOwnNeverYieldValues) {
    // Meters 17 and 06 (one digit off 07) answer late every time and 07 stays silent: 07's
    // read fails after its eight attempts, with the usual message, and takes none of their
    // values.
    const FamilyCase& plain = Families().front();
    fake::SetResponder([&](const std::string& port, std::span<const std::uint8_t>) {
        fake::Deliver(port, Frame("170" + plain.data) + Frame("060" + plain.data));
    });
    ExpectNoReplyOfItsOwn(7, MEMTYPE_PLAIN, 28);
}

TEST_F(Lines, FramesThatNameNobodyAreTakenAsToday) {
    // Positions 4 and 5 that are no two digits say nothing about the sender.
    for (const std::string header : {"--0", "0x0", " 70", "7 0"}) {
        SCOPED_TRACE(header);
        Reopen();
        Script({Frame(header + "1.251.251.25" + std::string(145, '1'))});
        GuardedValues values(28);
        GateIoRecord gate = Gate(7, MEMTYPE_PLAIN, 28, values.data());
        ASSERT_EQ(Call(VpiOperation::Read, gate), VpiDone);
        EXPECT_EQ(values[0], 1250.0f);
    }
}

TEST_F(Lines, TheRequestsEchoIsPassedOverInEveryFamily) {
    // The adapter hands back every byte sent, the NUL behind CR LF included, before the
    // meter's reply; on another line the NUL is lost and the reply's marker takes its place.
    for (const bool nulKept : {true, false}) {
        for (const FamilyCase& c : Families()) {
            SCOPED_TRACE(std::string(c.name) + (nulKept ? ", echo whole" : ", NUL lost"));
            Reopen();
            Answer(
                [nulKept](const std::string& sent) {
                    return nulKept || sent.back() != '\0' ? sent : sent.substr(0, sent.size() - 1);
                },
                Reply(c.data));
            GuardedValues values(static_cast<std::size_t>(c.count));
            GateIoRecord gate = Gate(3, c.memtype, c.count, values.data(), c.index);
            ASSERT_EQ(Call(VpiOperation::Read, gate), VpiDone);
            EXPECT_EQ(fake::Writes().size(), 1u);
            EXPECT_TRUE(log_.Take().empty());
            ExpectValues(values, c.values);
        }
    }
}

TEST_F(Lines, AnEchoWithNothingBehindItIsNoReply) {
    // A meter that stays silent behind an echoing adapter: the read fails, and a T gate does
    // not decode its own request.
    fake::SetResponder([](const std::string& port, std::span<const std::uint8_t> request) {
        fake::Deliver(port, request);
    });
    ExpectNoReplyOfItsOwn(1, MEMTYPE_TR1, 3);
}

TEST_F(Lines, WritesAreAcknowledgedByTheAddressedMeterInAnyForm) {
    float command = 1.0f;
    float ex[2] = {12.7f, -1.0f};
    GateIoRecord commandGate = Gate(5, MEMTYPE_INDEX_ZERO, 1, &command, 0);
    GateIoRecord exGate = Gate(5, MEMTYPE_EX, 2, ex, 0x0A01);
    struct Case {
        const char* name;
        std::function<std::string(const std::string&)> before;
        std::string reply;
        std::int32_t result;
        std::size_t requests;
    };
    const auto nothing = [](const std::string&) { return std::string(); };
    const auto echo = [](const std::string& sent) { return sent; };
    const std::vector<Case> cases{
        {"an acknowledgement of the meter's own form", nothing, Frame("05zz"), VpiDone, 1},
        {"behind the echo", echo, Frame("05zz"), VpiDone, 1},
        {"another meter's acknowledgement", nothing, Frame("06zz"), VpiFailed, 8},
        {"the acknowledgement of meter 15, one digit off", nothing, Frame("15zz"), VpiFailed, 8},
        {"another meter's ahead of its own", nothing, Frame("06zz") + Frame("05zz"), VpiDone, 1},
    };
    for (GateIoRecord* gate : {&commandGate, &exGate}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (gate == &exGate ? ", EX" : ", command"));
            Reopen();
            Answer(c.before, c.reply);
            EXPECT_EQ(Call(VpiOperation::Write, *gate), c.result);
            EXPECT_EQ(fake::Writes().size(), c.requests);
            EXPECT_TRUE(log_.Take().empty());
        }
    }
}

TEST_F(Lines, AMeterThatAcknowledgesWithTheRequestItself) {
    // Some meters answer a command with its own bytes. Alone, that double is the answer (the
    // receiver waits one read time-out for a frame behind it); behind an echo, the second
    // double is.
    float command = 2.0f;
    GateIoRecord gate = Gate(5, MEMTYPE_INDEX_ZERO, 1, &command, 0);
    for (const int doubles : {1, 2}) {
        SCOPED_TRACE(doubles);
        Reopen();
        fake::SetResponder(
            [doubles](const std::string& port, std::span<const std::uint8_t> request) {
                for (int i = 0; i < doubles; ++i) fake::Deliver(port, request);
            });
        const std::uint64_t start = fake::NowUs();
        EXPECT_EQ(Call(VpiOperation::Write, gate), VpiDone);
        EXPECT_EQ(fake::Writes().size(), 1u);
        EXPECT_EQ(Received(0, 11), Text(fake::Writes().front()));
        // One read time-out (1 s on this line) for the frame that did not come behind a lone
        // double; none behind two.
        const std::uint64_t elapsed = fake::NowUs() - start;
        if (doubles == 1) {
            EXPECT_GE(elapsed, 1000000u);
        } else {
            EXPECT_LT(elapsed, 1000000u);
        }
    }
}

TEST_F(Lines, WhatFollowsAnEchoDecides) {
    // Behind the echo of a request sent with a NUL: no NUL and silence, or a byte that is
    // neither the NUL nor a marker, is no reply. Behind a write request's double: a header cut
    // short is no acknowledgement, while bytes that begin no frame leave the double as one.
    struct Case {
        const char* name;
        bool write;
        std::string behind;
        std::int32_t result;
    };
    const std::vector<Case> cases{
        {"read: the NUL lost, then silence", false, "", VpiFailed},
        {"read: a stray byte for the NUL", false, "x" + Frame("01P0A0A00FF"), VpiFailed},
        {"write: a header cut short", true, "!0", VpiFailed},
        {"write: bytes that begin no frame", true, "~~\r\n", VpiDone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reopen();
        fake::SetResponder([&c](const std::string& port, std::span<const std::uint8_t> request) {
            std::string echo(request.begin(), request.end());
            if (!echo.empty() && echo.back() == '\0') echo.pop_back();
            fake::Deliver(port, echo + c.behind);
        });
        GuardedValues values(3);
        GateIoRecord read = Gate(1, MEMTYPE_TR1, 3, values.data());
        float command = 1.0f;
        GateIoRecord write = Gate(1, MEMTYPE_INDEX_ZERO, 1, &command, 0);
        if (c.write) {
            EXPECT_EQ(Call(VpiOperation::Write, write), c.result);
        } else {
            EXPECT_EQ(Call(VpiOperation::Read, read), c.result);
            EXPECT_EQ(values.Untouched(), 3u);
        }
    }
}

TEST_F(Lines, AChatteringLineCannotHoldAnExchange) {
    // Up to four frames are passed over in one receive; a fifth ends it like a missing reply,
    // with the same message.
    for (const int strays : {4, 5}) {
        SCOPED_TRACE(strays);
        Reopen();
        Answer(
            [strays](const std::string&) {
                std::string s;
                for (int i = 0; i < strays; ++i) s += Frame("09P0A0A00FF");
                return s;
            },
            Reply("0A0A00FF"));
        GuardedValues values(3);
        GateIoRecord gate = Gate(2, MEMTYPE_TR1, 3, values.data());
        if (strays == 4) {
            EXPECT_EQ(Call(VpiOperation::Read, gate), VpiDone);
            EXPECT_EQ(fake::Writes().size(), 1u);
            ExpectValues(values, {11.0f, 10.0f, 255.0f});
        } else {
            EXPECT_EQ(Call(VpiOperation::Read, gate), VpiFailed);
            EXPECT_EQ(fake::Writes().size(), 8u);
            EXPECT_EQ(log_.Take(), std::vector<LogLine>(8, LogLine{8, NoReplyLine(2)}));
            EXPECT_EQ(values.Untouched(), 3u);
        }
    }
}

TEST_F(Lines, NoiseBehindAWritesDoubleLeavesItTheAcknowledgement) {
    // A meter that acknowledges the command with its own bytes, and behind them what a
    // transmitter letting go of the line leaves: whatever does not begin with the marker is
    // noise, however many bytes, and the write is done after one request.
    float command = 2.0f;
    GateIoRecord gate = Gate(5, MEMTYPE_INDEX_ZERO, 1, &command, 0);
    for (const std::string& behind :
         {std::string(), std::string(1, '\0'), std::string("\xFF"), std::string("\xFF\xFF"),
          std::string("\xFF\xFF\xFF"), std::string(4, '\xFF'), std::string("\r\n~~~~~~")}) {
        SCOPED_TRACE(testing::PrintToString(behind));
        Reopen();
        fake::SetResponder([&behind](const std::string& port, std::span<const std::uint8_t> sent) {
            fake::Deliver(port, std::string(sent.begin(), sent.end()) + behind);
        });
        EXPECT_EQ(Call(VpiOperation::Write, gate), VpiDone);
        EXPECT_EQ(fake::Writes().size(), 1u);
        EXPECT_TRUE(log_.Take().empty());
    }
}

TEST_F(Lines, OnAnEchoingLineOnlyWritesAMeterAnswersWithTheirOwnBytesTakeTheEcho) {
    // Nobody answers; the line echoes every request. An EX write carrying values is answered
    // by a frame of the meter's own, so its double is the echo and the write fails after its
    // eight requests. A command and an EX write without values are answered with their own
    // bytes, which the echo cannot be told apart from: done after one.
    fake::SetResponder([](const std::string& port, std::span<const std::uint8_t> request) {
        fake::Deliver(port, request);
    });
    float values[2] = {12.7f, -1.0f};
    float command = 1.0f;
    struct Case {
        const char* name;
        GateIoRecord gate;
        std::int32_t result;
        std::size_t requests;
    };
    const std::vector<Case> cases{
        {"EX write of two values", Gate(5, MEMTYPE_EX, 2, values, 0x0A01), VpiFailed, 8},
        {"EX write of one value", Gate(5, MEMTYPE_EX, 1, values, 0x0A01), VpiFailed, 8},
        {"EX write without values", Gate(5, MEMTYPE_EX, 0, values, 0x0A01), VpiDone, 1},
        {"command", Gate(5, MEMTYPE_INDEX_ZERO, 1, &command, 0), VpiDone, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto sentBefore = fake::Writes().size();
        GateIoRecord gate = c.gate;
        EXPECT_EQ(Call(VpiOperation::Write, gate), c.result);
        EXPECT_EQ(fake::Writes().size() - sentBefore, c.requests);
    }
    EXPECT_TRUE(log_.Take().empty());
}

TEST_F(Lines, TheEchoIsNoStrayAndAnEchoingLineToleratesFourStrays) {
    // The echo, then four frames of another meter, then the reply: still one request. A fifth
    // stray ends the receive as on any other line.
    for (const int strays : {4, 5}) {
        SCOPED_TRACE(strays);
        Reopen();
        Answer(
            [strays](const std::string& sent) {
                std::string s = sent;
                for (int i = 0; i < strays; ++i) s += Frame("09P0A0A00FF");
                return s;
            },
            Reply("0A0A00FF"));
        GuardedValues values(3);
        GateIoRecord gate = Gate(2, MEMTYPE_TR1, 3, values.data());
        EXPECT_EQ(Call(VpiOperation::Read, gate), strays == 4 ? VpiDone : VpiFailed);
        EXPECT_EQ(fake::Writes().size(), strays == 4 ? 1u : 8u);
    }
}

TEST_F(Lines, OnlyTheFirstEchoIsFree) {
    // A line that hands a read request back twice: the second double is passed over like a
    // stray and counts, so two echoes and three strays still leave room for the reply, and two
    // echoes and four strays do not.
    for (const int strays : {3, 4}) {
        SCOPED_TRACE(strays);
        Reopen();
        Answer(
            [strays](const std::string& sent) {
                std::string s = sent + sent;
                for (int i = 0; i < strays; ++i) s += Frame("09P0A0A00FF");
                return s;
            },
            Reply("0A0A00FF"));
        GuardedValues values(3);
        GateIoRecord gate = Gate(2, MEMTYPE_TR1, 3, values.data());
        EXPECT_EQ(Call(VpiOperation::Read, gate), strays == 3 ? VpiDone : VpiFailed);
        EXPECT_EQ(fake::Writes().size(), strays == 3 ? 1u : 8u);
    }
}

TEST_F(Lines, FramesThatNeverStopCostNoMoreTimeThanASilentMeter) {
    // On the line's clock (read time-out 1 s): a read of a meter that never answers, once on
    // a quiet line and once while another meter's frames come every 0.9 s, without end. A
    // frame passed over does not start a wait of its own: the second read lasts no longer
    // than the first plus one time-out.
    GuardedValues values(3);
    GateIoRecord gate = Gate(2, MEMTYPE_TR1, 3, values.data());
    std::uint64_t start = fake::NowUs();
    EXPECT_EQ(Call(VpiOperation::Read, gate), VpiFailed);
    const std::uint64_t silentUs = fake::NowUs() - start;

    Reopen();
    const std::string stray = Frame("09P0A0A00FF");
    for (int i = 0; i < 40; ++i) fake::Deliver("COM1", stray, 900 * static_cast<std::uint32_t>(i));
    start = fake::NowUs();
    EXPECT_EQ(Call(VpiOperation::Read, gate), VpiFailed);
    const std::uint64_t straysUs = fake::NowUs() - start;
    EXPECT_GE(silentUs, 8000000u);
    EXPECT_LE(straysUs, silentUs + 1000000u) << "silent meter: " << silentUs << " us";
    EXPECT_EQ(fake::Writes().size(), 8u);
}

}  // namespace
