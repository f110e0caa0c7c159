// The protocol layer's own guards, called directly rather than through VpiMain: buffers
// shorter than a frame, spans that end inside one, gates of the wrong family handed to a read
// routine, and the request builders' refusals. Each must refuse without writing or reading a
// byte past what it was given.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "gate_records.h"
#include "protocol.h"
#include "protocol_fixture.h"

namespace {

using namespace prototest;
using vpitest::LogLine;

std::span<const std::uint8_t> Bytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(LengthFieldEdges, ShortSpansControlBytesAndCutFrames) {
    struct Case {
        const char* name;
        std::string bytes;
        bool parses;
        std::int32_t length;
    };
    const std::vector<Case> cases{
        {"empty", "", false, 0},
        {"marker only", "!", false, 0},
        {"three bytes", "!01", false, 0},
        {"four bytes", "!012", true, 12},
        // Bytes below the tab are no white space: they end the digits like any letter.
        {"control byte after one digit", std::string("!1\x01\x01", 4), true, 1},
        {"control byte after two digits", std::string("!12\x08", 4), true, 12},
        {"control byte first", std::string("!\x01\x02\x03", 4), false, 0},
        {"NUL first",
         std::string("!\0"
                     "12",
                     4),
         false, 0},
        // Behind the first digit, white space and signs end the number as any other byte.
        {"vertical tab", "!1\v2", true, 1},
        {"carriage return", "!12\r", true, 12},
        {"minus behind a digit", "!1-2", true, 1},
        {"blank first", "! 12", false, 0},
        {"sign first", "!+12", false, 0},
        {"minus first", "!-12", false, 0},
        {"tab first", "!\t12", false, 0},
        {"carriage return first", "!\r12", false, 0},
        {"a byte just below the tab first", "!\b12", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::int32_t length = -99;
        EXPECT_EQ(protocol::ParseLengthField(Bytes(c.bytes), &length), c.parses);
        EXPECT_EQ(length, c.parses ? c.length : -99);  // untouched on refusal
        if (!c.parses) {
            // No length, so neither a checksum nor a verified frame.
            EXPECT_EQ(protocol::FrameChecksum(Bytes(c.bytes)), 0);
            EXPECT_FALSE(protocol::VerifyFrameChecksum(Bytes(c.bytes)));
        }
    }
}

TEST(VerifyEdges, TheChecksumCharacterMustLieInsideTheSpan) {
    const std::string frame = Frame("01x12");  // L = 8: checksum at 9, then CR LF
    ASSERT_TRUE(protocol::VerifyFrameChecksum(Bytes(frame)));
    // Cut behind the counted bytes: the checksum is computable but its character is missing,
    // so the frame is not verified, whatever lies behind the span.
    const std::string cut = frame.substr(0, 9);
    EXPECT_EQ(protocol::FrameChecksum(Bytes(cut)), static_cast<std::uint8_t>(frame[9]));
    EXPECT_FALSE(protocol::VerifyFrameChecksum(Bytes(cut)));
    EXPECT_TRUE(protocol::VerifyFrameChecksum(Bytes(frame.substr(0, 10))));
}

class ReceiveEdges : public ProtocolTest {
protected:
    void Put(const std::string& bytes) { fake::Deliver("COM1", bytes); }
};

TEST_F(ReceiveEdges, ABufferSmallerThanAFrameBoundsWhatIsStoredAndDrained) {
    struct Case {
        const char* name;
        std::size_t capacity;
        std::string line;
        bool received;
        std::size_t leftOnLine;
    };
    const std::string fits = Frame(std::string(17, 'f'));  // L = 20, 24 bytes in all
    const std::string over = Frame(std::string(18, 'o'));  // L = 21, 25 bytes
    const std::string garbage(40, 'g');
    const std::vector<Case> cases{
        {"under a header", 3, fits, false, fits.size()},  // nothing is even read
        {"exactly the frame", fits.size(), fits + "next", true, 4},
        // Out of bounds for the buffer: drained up to the buffer's size, no further.
        {"one byte short", over.size() - 1, over + std::string(10, 'x'), false, 7},
        {"garbage drains only the buffer's size", 24, garbage, false, garbage.size() - 4 - 24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reopen();
        // The buffer sits inside a larger array whose tail must stay as it was.
        std::array<std::uint8_t, 64> storage{};
        storage.fill('#');
        Put(c.line);
        EXPECT_EQ(
            protocol::ReceiveFrame(state_, std::span<std::uint8_t>(storage.data(), c.capacity)),
            c.received);
        EXPECT_EQ(fake::Pending("COM1"), c.leftOnLine);
        for (std::size_t i = c.capacity; i < storage.size(); ++i) {
            ASSERT_EQ(storage[i], '#') << "written past the buffer at " << i;
        }
        if (c.received) {
            EXPECT_EQ(std::string(storage.begin(), storage.begin() + static_cast<long>(c.capacity)),
                      fits);
        }
    }
}

TEST_F(ReceiveEdges, TheHeaderBehindASkippedFrameIsJudgedLikeTheFirst) {
    // Behind the skipped frame of length 6, a length out of bounds drains the line as it
    // would at the start; an unparsed length and a missing marker leave the rest for the
    // next request's purge.
    struct Case {
        const char* name;
        std::string second;
        bool drained;
    };
    const std::string tail = "tail-of-the-line";
    const std::vector<Case> cases{
        {"length 999", "!999" + tail, true},
        {"length 0", "!000" + tail, true},
        {"sign in the length", "!+12" + tail, false},
        {"letters for a length", "!abc" + tail, false},
        {"no marker", "x012" + tail, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reopen();
        Put(Frame("01x") + c.second);
        EXPECT_FALSE(protocol::ReceiveFrame(state_, state_.receiveBuffer));
        EXPECT_EQ(fake::Pending("COM1") == 0, c.drained) << fake::Pending("COM1");
        ExpectStateKept("");
    }
    EXPECT_TRUE(log_.Take().empty());  // the receiver logs nothing
}

// The request builders refuse before they write anything.
class RequestEdges : public testing::Test {
protected:
    static constexpr std::uint8_t kUntouched = 0x5A;
    void SetUp() override { buffer_.fill(kUntouched); }
    bool Untouched() const {
        for (const std::uint8_t b : buffer_) {
            if (b != kUntouched) return false;
        }
        return true;
    }
    static bool Readable(std::int32_t m) {
        return m == MEMTYPE_PLAIN || (m >= MEMTYPE_H1 && m <= MEMTYPE_H6) ||
               (m >= MEMTYPE_TR1 && m <= MEMTYPE_TK3) || (m >= MEMTYPE_TY1 && m <= MEMTYPE_TY2) ||
               (m >= MEMTYPE_TD1 && m <= MEMTYPE_TD16) || (m >= MEMTYPE_TC1 && m <= MEMTYPE_TC24) ||
               m == MEMTYPE_EX;
    }
    // Room for the longest request and a few bytes behind it that must stay untouched.
    std::array<std::uint8_t, protocol::kExWriteCapacity + 8> buffer_{};
};

TEST_F(RequestEdges, ReadRequestsOnlyForTheReadFamilies) {
    // Every code from below the first family to past the last: the builder writes a frame
    // exactly for the families, and nothing at all for the codes between them.
    for (std::int32_t m = -3; m <= 260; ++m) {
        SCOPED_TRACE(m);
        buffer_.fill(kUntouched);
        GateIoRecord gate = vpitest::IoRecord(5, m, 0x0A01, 2, nullptr);
        const std::uint8_t size = protocol::BuildReadRequest(gate, buffer_);
        if (Readable(m)) {
            ASSERT_GT(size, 0u);
            EXPECT_EQ(buffer_[0], '!');
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer_.data()) + 4, 2), "05");
        } else {
            EXPECT_EQ(size, 0u);
            EXPECT_TRUE(Untouched());
        }
    }
}

TEST_F(RequestEdges, AResolvedFamilyBuildsOnlyItsOwnMembers) {
    // The form for callers that looked the family up already: every pairing of a family with
    // a code, the family's own codes built exactly as the plain form builds them, every other
    // code refused without a byte written.
    std::array<std::uint8_t, protocol::kExWriteCapacity + 8> expected{};
    for (const FamilyInfo& family : kFamilies) {
        for (std::int32_t m = -1; m <= 201; ++m) {
            SCOPED_TRACE(testing::Message() << family.name << " " << m);
            const GateIoRecord gate = vpitest::IoRecord(7, m, 0x0A02, 3, nullptr);
            buffer_.fill(kUntouched);
            expected.fill(kUntouched);
            const std::uint8_t size = protocol::BuildReadRequest(gate, family, buffer_);
            const bool own = m >= family.firstMemtype && m <= family.lastMemtype;
            if (!own) {
                EXPECT_EQ(size, 0u);
                EXPECT_TRUE(Untouched());
                continue;
            }
            EXPECT_EQ(size, protocol::BuildReadRequest(gate, expected));
            EXPECT_EQ(buffer_, expected);
            EXPECT_EQ(size == 0, family.read == ReadKind::None);
        }
    }
}

TEST_F(RequestEdges, ReadRequestRefusalsAndTheSmallestBuffer) {
    struct Case {
        const char* name;
        std::int32_t plc;
        std::int32_t memtype;
        std::int32_t count;
        std::size_t capacity;
        std::uint8_t size;  // 0: refused
    };
    // Sizes: memtypes 0 to 6 send the frame (L + 4), the others the frame and its NUL; every
    // builder needs L + 5 bytes of room for the NUL it writes.
    const std::vector<Case> cases{
        {"PLC -1", -1, MEMTYPE_PLAIN, 0, 64, 0},
        {"PLC 100", 100, MEMTYPE_TR1, 3, 64, 0},
        {"EX count -1", 1, MEMTYPE_EX, -1, 64, 0},
        {"EX count 256 has no two hex digits", 1, MEMTYPE_EX, 256, 64, 0},
        {"EX count 255", 1, MEMTYPE_EX, 255, 64, 17},
        {"EX in exactly L + 5", 1, MEMTYPE_EX, 1, 17, 17},
        {"EX one byte short", 1, MEMTYPE_EX, 1, 16, 0},
        {"plain in exactly L + 5", 1, MEMTYPE_PLAIN, 40, 11, 10},
        {"plain one byte short", 1, MEMTYPE_PLAIN, 40, 10, 0},
        {"TC in exactly L + 5", 1, MEMTYPE_TC13, 33, 15, 15},
        {"TC one byte short", 1, MEMTYPE_TC13, 33, 14, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        buffer_.fill(kUntouched);
        GateIoRecord gate = vpitest::IoRecord(c.plc, c.memtype, 0x0A01, c.count, nullptr);
        const std::uint8_t size =
            protocol::BuildReadRequest(gate, std::span<std::uint8_t>(buffer_.data(), c.capacity));
        EXPECT_EQ(size, c.size);
        if (c.size == 0) {
            EXPECT_TRUE(Untouched());
        } else {
            const std::string built(reinterpret_cast<const char*>(buffer_.data()), size);
            EXPECT_EQ(built.substr(size - (c.memtype <= MEMTYPE_H6 ? 2 : 3), 2), "\r\n");
            EXPECT_TRUE(protocol::VerifyFrameChecksum(buffer_));
            // The NUL behind CR LF (sent for all but memtypes 0 to 6), and nothing behind it.
            const std::size_t nulAt = c.memtype <= MEMTYPE_H6 ? size : size - 1u;
            EXPECT_EQ(buffer_[nulAt], 0u);
            EXPECT_EQ(buffer_[nulAt + 1], kUntouched);
        }
    }
    // The count's two hex digits for 255.
    GateIoRecord gate = vpitest::IoRecord(1, MEMTYPE_EX, 0x0A01, 255, nullptr);
    ASSERT_EQ(protocol::BuildReadRequest(gate, buffer_), 17u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer_.data()), 13), "!01201A0A01FF");
}

TEST_F(RequestEdges, CommandAndExWriteRefusals) {
    float values[37] = {};
    for (float& v : values) v = 3.0f;
    struct Case {
        const char* name;
        bool command;  // else an EX write
        std::int32_t plc;
        std::int32_t count;
        float* values;
        std::size_t capacity;
        std::size_t size;  // 0: refused
    };
    const std::vector<Case> cases{
        {"command in 12 bytes", true, 1, 1, values, 12, 11},
        {"command in 11", true, 1, 1, values, 11, 0},
        {"command PLC 100", true, 100, 1, values, 64, 0},
        {"EX write of 36", false, 1, 36, values, 15 + 8 * 36, 14 + 8 * 36},
        {"EX write of 37", false, 1, 37, values, protocol::kExWriteCapacity, 0},
        {"EX write of -1", false, 1, -1, values, 64, 0},
        {"EX write PLC -1", false, -1, 1, values, 64, 0},
        {"EX write without values", false, 1, 2, nullptr, 64, 0},
        {"EX write of none needs no values", false, 1, 0, nullptr, 15, 14},
        {"EX write one byte short", false, 1, 2, values, 15 + 16 - 1, 0},
        {"EX write in exactly its room", false, 1, 2, values, 15 + 16, 14 + 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        buffer_.fill(kUntouched);
        GateIoRecord gate = c.command
                                ? vpitest::IoRecord(c.plc, MEMTYPE_INDEX_ZERO, 0, c.count, c.values)
                                : vpitest::IoRecord(c.plc, MEMTYPE_EX, 0x0A01, c.count, c.values);
        const std::span<std::uint8_t> room(buffer_.data(), c.capacity);
        const std::size_t size = c.command ? protocol::BuildCommandRequest(gate, 1.0f, room)
                                           : protocol::BuildExWriteRequest(gate, room);
        EXPECT_EQ(size, c.size);
        if (c.size == 0) {
            EXPECT_TRUE(Untouched());
        } else {
            EXPECT_TRUE(protocol::VerifyFrameChecksum(buffer_));
            EXPECT_EQ(buffer_[c.capacity - 1], 0u);  // the NUL, at the last byte of the room
            if (c.capacity < buffer_.size()) {
                EXPECT_EQ(buffer_[c.capacity], kUntouched);
            }
        }
    }
}

// Each read routine serves its own family only, and only gates that may go on the line;
// VpiRead picks the routine, but the routines do not rely on that.
class RoutineEdges : public ProtocolTest {};

TEST_F(RoutineEdges, ARoutineRefusesOtherFamiliesAndUnreadableGatesWithoutSending) {
    using Routine = std::int32_t (*)(const protocol::GateCall&);
    struct Case {
        const char* name;
        Routine routine;
        std::int32_t memtype;
        std::int32_t plc;
        bool withValues;
    };
    const std::vector<Case> cases{
        {"plain routine, H gate", protocol::ReadPlainBlock, MEMTYPE_H1, 1, true},
        {"plain routine, PLC 100", protocol::ReadPlainBlock, MEMTYPE_PLAIN, 100, true},
        {"H routine, plain gate", protocol::ReadHBlock, MEMTYPE_PLAIN, 1, true},
        {"H routine, code 7", protocol::ReadHBlock, 7, 1, true},
        {"H routine, TR gate", protocol::ReadHBlock, MEMTYPE_TR1, 1, true},
        {"H routine, no values", protocol::ReadHBlock, MEMTYPE_H2, 1, false},
        {"T routine, plain gate", protocol::ReadTBlock, MEMTYPE_PLAIN, 1, true},
        {"T routine, H gate", protocol::ReadTBlock, MEMTYPE_H6, 1, true},
        {"T routine, code 22", protocol::ReadTBlock, 22, 1, true},
        {"T routine, code 42", protocol::ReadTBlock, 42, 1, true},
        {"T routine, code 67", protocol::ReadTBlock, 67, 1, true},
        {"T routine, index-zero gate", protocol::ReadTBlock, MEMTYPE_INDEX_ZERO, 1, true},
        {"T routine, code 195", protocol::ReadTBlock, 195, 1, true},
        {"T routine, EX gate", protocol::ReadTBlock, MEMTYPE_EX, 1, true},
        {"T routine, PLC -1", protocol::ReadTBlock, MEMTYPE_TD1, -1, true},
        {"EX routine, plain gate", protocol::ReadExBlock, MEMTYPE_PLAIN, 1, true},
        {"EX routine, no values", protocol::ReadExBlock, MEMTYPE_EX, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reopen();
        Always(Reply("0000000000"));
        GuardedValues values(2);
        GateIoRecord gate = Gate(c.plc, c.memtype, 2, c.withValues ? values.data() : nullptr);
        EXPECT_EQ(c.routine({state_, gate, kVpiNumber}), VpiRefused);
        EXPECT_TRUE(fake::Writes().empty());
        EXPECT_EQ(values.Untouched(), 2u);
        ExpectStateKept("");
    }
    EXPECT_TRUE(log_.Take().empty());
}

TEST_F(RoutineEdges, AFamilyThatIsNotReadOrNotTheGatesIsRefusedWithoutSending) {
    struct Case {
        const char* name;
        std::int32_t memtype;
        GateFamily family;
    };
    const std::vector<Case> cases{
        {"index-zero gate", MEMTYPE_INDEX_ZERO, GateFamily::IndexZero},
        {"H gate as plain", MEMTYPE_H1, GateFamily::Plain},
        {"TK gate as TR", MEMTYPE_TK1, GateFamily::Tr},
        {"plain gate as EX", MEMTYPE_PLAIN, GateFamily::Ex},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reopen();
        Always(Reply("0000000000"));
        GuardedValues values(2);
        GateIoRecord gate = Gate(1, c.memtype, 2, values.data());
        EXPECT_EQ(protocol::ReadFamilyBlock({state_, gate, kVpiNumber}, InfoOf(c.family)),
                  VpiRefused);
        EXPECT_TRUE(fake::Writes().empty());
        EXPECT_EQ(values.Untouched(), 2u);
        ExpectStateKept("");
    }
    EXPECT_TRUE(log_.Take().empty());
}

TEST_F(RoutineEdges, AHarmonicsReplyWithoutADataAreaIsAConversionFailure) {
    // Replies of length 3 to 5 end before the first data position: the values cannot be
    // there, and nothing behind the checksum character may stand in for them.
    // Positions 4 and 5 of the last one hold the gate's own address, as a meter's would.
    for (const std::string& body : std::vector<std::string>{"", "0", "04"}) {
        SCOPED_TRACE(body.size() + 3);
        Reopen();
        Script({Frame(body)});
        GuardedValues values(3);
        GateIoRecord gate = Gate(4, MEMTYPE_H2, 3, values.data());
        EXPECT_EQ(protocol::ReadHBlock({state_, gate, kVpiNumber}), VpiRefused);
        const std::vector<LogLine> expected{{8, "Xerbo : Fail to convert  to float(Vpi#7,PLC#4)"}};
        EXPECT_EQ(log_.Take(), expected);
        EXPECT_EQ(values.Untouched(), 3u);
        EXPECT_TRUE(values.GuardsIntact());
    }
    // Without values asked for, the same reply is a success with nothing stored.
    Reopen();
    Script({Frame("")});
    GateIoRecord none = Gate(4, MEMTYPE_H2, 0, nullptr);
    EXPECT_EQ(protocol::ReadHBlock({state_, none, kVpiNumber}), VpiDone);
}

}  // namespace
