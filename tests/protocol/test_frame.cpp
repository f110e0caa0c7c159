// Frames on the emulated line: the checksum and its 16-bit wrap, the verification, the
// receiver's skip, drain and length bounds, and every read request byte for byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "protocol.h"
#include "protocol_fixture.h"

namespace {

using namespace prototest;
using vpitest::LogLine;

std::span<const std::uint8_t> Bytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

const LogLine kIllegalLength{8, "Xerbo : Illigal msg length (c.s)"};

TEST(FrameChecksum, WorkedExamplesAndTheSixteenBitWrap) {
    struct Case {
        std::string frame;
        int expected;
    };
    const std::vector<Case> cases{
        {"!006010", '}'},
        {"!00701H1", 'I'},
        // 14 + 14 + 20 − 3 × 34 = −54, held as 65482: 'h', where a plain residue gives 'H'.
        {std::string("!006\0\0\0", 7), 'h'},
        {"!000", '"'},  // nothing summed
        {"!00801P0A", 'p'},
        {"!01001R010C", '.'},
        {"!01201A0A0102", ';'},
        {"!007014"
         "1",
         '5'},
        {"!301" + std::string(298, 'z'), 0},  // above 300: no checksum
        {"!300" + std::string(297, '}'), ChecksumOf("!300" + std::string(297, '}'))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frame.substr(0, 16));
        EXPECT_EQ(protocol::FrameChecksum(Bytes(c.frame)), c.expected);
    }
    // The counted bytes must be there: a buffer that ends inside them has no checksum.
    EXPECT_EQ(protocol::FrameChecksum(Bytes("!006010")), '}');
    EXPECT_EQ(protocol::FrameChecksum(Bytes("!00601")), 0);
}

TEST(FrameChecksum, AgreesWithTheDefinitionOnGeneratedFrames) {
    // Every byte value, including those below 34 that wrap the sum downward.
    std::uint32_t seed = 12345;
    for (int round = 0; round < 2000; ++round) {
        const std::size_t body = 1 + (seed = seed * 1103515245u + 12345u) % 296;
        std::string head = "!" + ThreeDigits(body + 3);
        for (std::size_t i = 0; i < body; ++i) {
            seed = seed * 1103515245u + 12345u;
            head += static_cast<char>((seed >> 16) & 0xFF);
        }
        ASSERT_EQ(protocol::FrameChecksum(Bytes(head)), static_cast<std::uint8_t>(ChecksumOf(head)))
            << "round " << round;
    }
}

TEST(VerifyFrameChecksum, ChecksumAtLPlusOneAndTheLengthLimit) {
    vpitest::LogCapture log;
    EXPECT_TRUE(protocol::VerifyFrameChecksum(Bytes(Frame("01x12"))));
    EXPECT_FALSE(protocol::VerifyFrameChecksum(Bytes(Corrupted(Frame("01x12")))));
    EXPECT_TRUE(log.Take().empty());  // a mismatch is the caller's to report

    // 301 fails with its message even when the byte at L + 1 holds what FrameChecksum gives.
    std::string over = "!301" + std::string(298, 'a');
    over += '\0';
    over += "\r\n";
    ASSERT_EQ(protocol::FrameChecksum(Bytes(over)), 0);
    EXPECT_FALSE(protocol::VerifyFrameChecksum(Bytes(over)));
    EXPECT_EQ(log.Take(), std::vector<LogLine>{kIllegalLength});

    const std::string longest = Frame(std::string(297, 'b'));
    EXPECT_TRUE(protocol::VerifyFrameChecksum(Bytes(longest)));
    EXPECT_TRUE(log.Take().empty());
}

class Receive : public ProtocolTest {
protected:
    bool ReceiveNow() { return protocol::ReceiveFrame(state_, state_.receiveBuffer); }
    void Put(const std::string& bytes) { fake::Deliver("COM1", bytes); }
};

TEST_F(Receive, StoresOneFrameAndLeavesWhatFollowsOnTheLine) {
    const std::string frame = Reply("12.50");
    Put(frame + "EXTRA");
    ASSERT_TRUE(ReceiveNow());
    EXPECT_EQ(Received(0, frame.size()), frame);
    EXPECT_EQ(Received(frame.size(), 4), "qqqq");  // the receiver clears nothing
    EXPECT_EQ(fake::Pending("COM1"), 5u);
    ExpectStateKept("");
}

TEST_F(Receive, SkipsOneFrameOfLengthSix) {
    const std::string skipped = Frame("01x");
    ASSERT_EQ(skipped.size(), 10u);
    const std::string reply = Reply("0A0A00FF");
    Put(skipped + reply);
    ASSERT_TRUE(ReceiveNow());
    EXPECT_EQ(Received(0, reply.size()), reply);

    // A second frame of length 6 is the reply.
    const std::string second = Frame("02y");
    Put(skipped + second);
    ASSERT_TRUE(ReceiveNow());
    EXPECT_EQ(Received(0, second.size()), second);
    EXPECT_TRUE(protocol::VerifyFrameChecksum(state_.receiveBuffer));
}

TEST_F(Receive, ADoubleThatMayAnswerIsRestoredWithoutItsNul) {
    // A request sent with a NUL behind it, whose double may be the answer: a lone double (and
    // its NUL) with silence behind is the reply, stored without the NUL.
    const std::string frame = Frame("01P0A");
    const std::string sent = frame + '\0';
    const protocol::ExpectedReply expected{
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(sent.data()),
                                      sent.size()),
        false, true};
    Put(sent);
    ASSERT_TRUE(protocol::ReceiveFrame(state_, state_.receiveBuffer, expected));
    EXPECT_EQ(Received(0, frame.size()), frame);
    EXPECT_EQ(Received(frame.size(), 1), "q");  // nothing of the NUL was stored
}

TEST_F(Receive, ALoneFrameOfLengthSixWaitsForTheNextAndTimesOut) {
    Put(Frame("01x"));
    const auto start = fake::NowUs();
    EXPECT_FALSE(ReceiveNow());
    EXPECT_GE(fake::NowUs() - start, 1000000u);  // at least one read time-out
    EXPECT_LT(fake::NowUs() - start, 10000000u);
}

TEST_F(Receive, AfterTheSkipAMissingMarkerFailsWithoutDrain) {
    Put(Frame("01x") + "\r\n" + Reply("1.25"));
    EXPECT_FALSE(ReceiveNow());
    EXPECT_GT(fake::Pending("COM1"), 0u);
}

TEST_F(Receive, GarbageAheadOfTheMarkerDrainsTheLine) {
    Put("\r\n" + Reply("1.25"));
    EXPECT_FALSE(ReceiveNow());
    EXPECT_EQ(fake::Pending("COM1"), 0u);  // the frame behind the garbage went with it

    // The drain takes at most 500 bytes, into the 500-byte buffer, and nothing beyond it.
    Put(std::string(600, 'g'));
    EXPECT_FALSE(ReceiveNow());
    EXPECT_EQ(fake::Pending("COM1"), 96u);
    ExpectStateKept("");
}

TEST_F(Receive, AFrameCutShortWithTheNextBehindItIsNoReply) {
    // A late reply that lost its tail, and the answer to the next request right behind it:
    // read to its announced length, the first frame ends in the second's bytes. Among the
    // first frame's values there is one that makes that splice pass the checksum.
    const std::string next = Reply("12.84 1.563 9.944 0.562");
    std::string late;
    std::string cut;
    std::string splice;
    for (int value = 1000; value < 10000; ++value) {
        late = Reply(std::to_string(value) + " 1.562 9.943 0.561");
        cut = late.substr(0, late.size() - 9);
        splice = cut + next.substr(0, late.size() - cut.size());
        if (protocol::VerifyFrameChecksum(Bytes(splice))) break;
    }
    ASSERT_TRUE(protocol::VerifyFrameChecksum(Bytes(splice)));

    Put(cut + next);
    EXPECT_FALSE(ReceiveNow());
    ExpectStateKept("");

    // A marker anywhere behind the first, the closing included, breaks the frame; a frame
    // with none is taken, whatever else it carries.
    for (const std::size_t at :
         {std::size_t{4}, std::size_t{7}, late.size() - 3, late.size() - 1}) {
        SCOPED_TRACE(at);
        std::string broken = late;
        broken[at] = '!';
        Reopen();
        Put(broken);
        EXPECT_FALSE(ReceiveNow());
    }
    Reopen();
    Put(late);
    EXPECT_TRUE(ReceiveNow());
}

TEST_F(Receive, LengthFieldBoundsSignsAndBlanks) {
    struct Case {
        const char* name;
        std::string bytes;
        bool received;
        bool drained;  // nothing left on the line afterwards
    };
    const std::string trailer = "tail-bytes";
    const std::vector<Case> cases{
        {"000", "!000" + trailer, false, true},
        {"0a1 parses as 0", "!0a1" + trailer, false, true},
        {"496 fits the buffer", "!496" + std::string(496, 'd'), true, true},
        {"497 does not", "!497" + std::string(497, 'd'), false, true},
        {"999", "!999" + trailer, false, true},
        {"301 is received, verification refuses it", "!301" + std::string(301, 'e'), true, true},
        {"plus sign", "!+12" + trailer, false, false},
        {"minus sign", "!-01" + trailer, false, false},
        {"leading blank", "! 12" + trailer, false, false},
        // A blank or tab behind a digit ends the number: "1" takes one byte of the tail and
        // leaves the rest; "12" waits for twelve of the ten there are.
        {"inner blank", "!1 2" + trailer, true, false},
        {"trailing tab", "!12\t" + trailer, false, true},
        {"no digit", "!abc" + trailer, false, false},
        {"digits then a letter", "!12a" + std::string(12, 'f'), true, true},
        {"truncated", Reply("12.50").substr(0, 12), false, true},
        {"header only", "!012", false, true},
        {"three bytes", "!01", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reopen();
        Put(c.bytes);
        EXPECT_EQ(ReceiveNow(), c.received);
        EXPECT_EQ(fake::Pending("COM1") == 0, c.drained);
        ExpectStateKept("");
    }
}

TEST_F(Receive, ThroughTheWriteOperation) {
    // A write succeeds on any verified frame, so it shows the receiver and verification
    // end to end: over-long (301) frames log the illegal length on every attempt.
    float value = 1.0f;
    GateIoRecord gate = Gate(1, MEMTYPE_INDEX_ZERO, 1, &value, 0);
    Always("!301" + std::string(298, 'a') + std::string(1, '\0') + "\r\n");
    EXPECT_EQ(Call(VpiOperation::Write, gate), VpiFailed);
    EXPECT_EQ(fake::Writes().size(), 8u);
    EXPECT_EQ(log_.Take(), std::vector<LogLine>(8, kIllegalLength));

    Script({Frame("01x") + Frame("01a")});
    EXPECT_EQ(Call(VpiOperation::Write, gate), VpiDone);
    EXPECT_EQ(Received(0, 10), Frame("01a"));
}

// The read request of every family, from the request table: command letters, operands,
// length field, checksum, CR LF, and the NUL that follows for all but memtypes 0 to 6.
std::string ExpectedRequest(std::int32_t plc, std::int32_t memtype, std::int32_t index,
                            std::int32_t count) {
    const auto two = [](int v) {
        return std::string(1, static_cast<char>('0' + v / 10)) + static_cast<char>('0' + v % 10);
    };
    const auto hex = [](unsigned v) {
        const char* d = "0123456789ABCDEF";
        return std::string{d[(v >> 4) & 15], d[v & 15]};
    };
    std::string body;
    bool nul = true;
    if (memtype == 0) {
        body = "0";
        nul = false;
    } else if (memtype <= 6) {
        body = "H" + std::to_string(memtype);
        nul = false;
    } else if (memtype <= 21) {
        body = "P" + hex(static_cast<unsigned>(memtype - 11));
    } else if (memtype <= 41) {
        body = "U" + two(memtype - 40);
    } else if (memtype <= 66) {
        body = "Q" + hex(static_cast<unsigned>(memtype - 51));
    } else if (memtype <= 182) {
        body = "R00" + hex(static_cast<unsigned>(memtype - 170));
    } else if (memtype <= 194) {
        body = "R01" + hex(static_cast<unsigned>(memtype - 182));
    } else {
        body = "A" + hex(static_cast<unsigned>(index >> 8)) + hex(static_cast<unsigned>(index)) +
               hex(static_cast<unsigned>(count));
    }
    std::string frame = Frame(two(plc) + body);
    if (nul) frame += '\0';
    return frame;
}

class Requests : public ProtocolTest {
protected:
    // The request the read operation sends for the gate, checked on all eight attempts of a
    // silent meter (one for operation 5), with requestBuffer holding it and its NUL.
    std::string SentFor(std::int32_t plc, std::int32_t memtype, std::int32_t index = 1,
                        std::int32_t count = 0) {
        Reopen();
        std::memset(state_.requestBuffer, kRequestGuard, sizeof state_.requestBuffer);
        std::vector<float> values(static_cast<std::size_t>(count > 0 ? count : 1));
        GateIoRecord gate = Gate(plc, memtype, count, values.data(), index);
        const bool ex = memtype == MEMTYPE_EX;
        EXPECT_EQ(Call(ex ? VpiOperation::ReadEx : VpiOperation::Read, gate), VpiFailed);
        const std::vector<std::string> sent = Sent();
        EXPECT_EQ(sent.size(), ex ? 1u : 8u);
        if (sent.empty()) return {};
        for (const std::string& s : sent) EXPECT_EQ(s, sent[0]);
        std::string withNul = sent[0];
        if (withNul.back() != '\0') withNul += '\0';
        ExpectStateKept(withNul);
        return sent[0];
    }
};

TEST_F(Requests, WorkedRequestsByteForByte) {
    using namespace std::string_literals;
    EXPECT_EQ(SentFor(1, 0), "!006010}\r\n"s);
    EXPECT_EQ(SentFor(1, 1), "!00701H1I\r\n"s);
    EXPECT_EQ(SentFor(1, 21), "!00801P0Ap\r\n\0"s);
    EXPECT_EQ(SentFor(1, 40), "!00801U00d\r\n\0"s);
    EXPECT_EQ(SentFor(1, 66), "!00801Q0Fv\r\n\0"s);
    EXPECT_EQ(SentFor(1, 171), "!01001R0001w\r\n\0"s);
    EXPECT_EQ(SentFor(1, 194), "!01001R010C.\r\n\0"s);
    EXPECT_EQ(SentFor(1, 200, 0x0A01, 2), "!01201A0A0102;\r\n\0"s);
}

TEST_F(Requests, OperandsAndAddresses) {
    EXPECT_EQ(SentFor(0, 0).substr(0, 7), "!006000");
    EXPECT_EQ(SentFor(7, 0).substr(0, 7), "!006070");
    EXPECT_EQ(SentFor(99, 3).substr(0, 8), "!00799H3");
    EXPECT_EQ(SentFor(1, 20).substr(0, 9), "!00801P09");
    EXPECT_EQ(SentFor(1, 180).substr(0, 11), "!01001R000A");
    EXPECT_EQ(SentFor(1, 192).substr(0, 11), "!01001R010A");
    EXPECT_EQ(SentFor(1, 179).substr(0, 11), "!01001R0009");
    EXPECT_EQ(SentFor(1, 191).substr(0, 11), "!01001R0109");
    EXPECT_EQ(SentFor(1, 200, 0x0AFF, 36).substr(6, 7), "A0AFF24");
}

TEST_F(Requests, EveryReadableMemtypeAgainstTheTable) {
    std::vector<std::int32_t> memtypes{0, 1, 2, 3, 4, 5, 6, 40, 41};
    for (std::int32_t m = 11; m <= 21; ++m) memtypes.push_back(m);
    for (std::int32_t m = 51; m <= 66; ++m) memtypes.push_back(m);
    for (std::int32_t m = 171; m <= 194; ++m) memtypes.push_back(m);
    for (const std::int32_t plc : {0, 42, 99}) {
        for (const std::int32_t m : memtypes) {
            SCOPED_TRACE("plc " + std::to_string(plc) + " memtype " + std::to_string(m));
            std::string expected = ExpectedRequest(plc, m, 0, 0);
            EXPECT_EQ(SentFor(plc, m), expected);
        }
        for (const std::int32_t index : {0x0A01, 0x0000, 0xFFFF, 0x1234}) {
            for (const std::int32_t count : {0, 1, 9, 10, 36}) {
                SCOPED_TRACE("EX " + std::to_string(index) + " count " + std::to_string(count));
                EXPECT_EQ(SentFor(plc, 200, index, count), ExpectedRequest(plc, 200, index, count));
            }
        }
    }
}

}  // namespace
