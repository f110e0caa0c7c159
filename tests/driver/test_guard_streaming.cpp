// Guards against a line that never stops sending: a far end streaming bytes for ten minutes
// (of the emulated line's virtual clock) must not hold any operation longer than its
// attempts and time-outs allow, whatever the stream holds.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "log_capture.h"
#include "protocol_fixture.h"
#include "serial_fake.h"
#include "vpi_call.h"
#include "vpi_records.h"

namespace {

namespace fake = serial::fake;
using prototest::Reply;

constexpr std::uint32_t kStreamSeconds = 600;
constexpr std::uint32_t kByteGapUs = 1000;  // about 9600 baud

// `pattern` repeated for the whole stream, arriving one byte per millisecond from now on.
void Stream(const std::string& pattern) {
    std::vector<std::uint8_t> bytes;
    const std::size_t total = kStreamSeconds * 1000000ull / kByteGapUs;
    bytes.reserve(total);
    while (bytes.size() < total)
        bytes.push_back(static_cast<std::uint8_t>(pattern[bytes.size() % pattern.size()]));
    fake::Deliver("COM1", bytes, 0, kByteGapUs);
}

std::size_t ReadCalls() {
    std::size_t n = 0;
    for (const auto& e : fake::Events()) n += e.kind == fake::EventKind::Read ? 1 : 0;
    return n;
}

class StreamingLine : public testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        state_ = ChannelState{};
        OpenChannelRecord open{};
        std::memcpy(open.portName, "COM1", 5);
        open.active = 1;
        open.readTimeout = 100;  // 1 s
        open.line = LineParameters{9600, 8, 0, 0};
        VpiCall call{&state_, static_cast<std::int32_t>(VpiOperation::Open), 1, 0, &open};
        ASSERT_EQ(VpiMain(&call), VpiDone);
    }
    std::int32_t Call(VpiOperation operation, void* argument) {
        return vpitest::Call(operation, &state_, argument);
    }
    ChannelState state_{};
    vpitest::LogCapture log_;
};

TEST_F(StreamingLine, EveryOperationEndsWithinItsAttemptsAndTimeOuts) {
    const std::string plainReply = Reply(std::string(201, '0'));
    struct Case {
        const char* name;
        std::string pattern;
        VpiOperation operation;
        std::int32_t memtype;
        std::int32_t count;
        bool mayRead;  // a stream of whole replies may be read successfully
    };
    const Case cases[] = {
        {"junk, flush", "x", VpiOperation::Flush, 0, 0, false},
        {"junk, plain read", "xyz", VpiOperation::Read, MEMTYPE_PLAIN, 40, false},
        {"junk, EX read", "x", VpiOperation::ReadEx, MEMTYPE_EX, 4, false},
        {"junk, EX write", "x", VpiOperation::Write, MEMTYPE_EX, 4, false},
        {"markers, plain read", "!", VpiOperation::Read, MEMTYPE_PLAIN, 40, false},
        {"bad lengths, H read", "!999", VpiOperation::Read, MEMTYPE_H1, 34, false},
        {"long frames, TD read", "!4960", VpiOperation::Read, MEMTYPE_TD1, 25, false},
        {"whole replies, plain read", plainReply, VpiOperation::Read, MEMTYPE_PLAIN, 40, true},
        {"whole replies, flush", plainReply, VpiOperation::Flush, 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Stream(c.pattern);
        std::vector<float> values(static_cast<std::size_t>(c.count) + 1, -1.0f);
        GateIoRecord gate{};
        gate.plcAddress = 1;
        gate.memtype = c.memtype;
        gate.index = c.memtype == MEMTYPE_EX ? 0x0A01 : 1;
        gate.count = c.count;
        gate.values = values.data();
        const std::uint64_t start = fake::NowUs();
        const std::size_t readsBefore = ReadCalls();
        const std::int32_t result =
            Call(c.operation, c.operation == VpiOperation::Flush ? nullptr : &gate);
        const std::uint64_t spentMs = (fake::NowUs() - start) / 1000;
        const std::size_t reads = ReadCalls() - readsBefore;
        // Eight attempts of a one-second time-out, a bounded purge before each, and room to
        // spare: a minute of line time. The stream lasts ten.
        EXPECT_LT(spentMs, 60000u) << "result " << result;
        EXPECT_LT(reads, 2000u);
        EXPECT_GT(fake::Pending("COM1"), 0u) << "the stream outlasted the operation";
        if (c.operation == VpiOperation::Flush) {
            EXPECT_EQ(result, VpiDone);
        } else if (!c.mayRead) {
            EXPECT_NE(result, VpiDone);
        }
        EXPECT_EQ(values.back(), -1.0f);
        std::printf("%-26s result %d after %u ms of line time, %u reads\n", c.name,
                    static_cast<int>(result), static_cast<unsigned>(spentMs),
                    static_cast<unsigned>(reads));
    }
}

}  // namespace
