// The line discipline shared by every back-end, over the emulated line: exact-count reads,
// the purge, and RTS framing with its waits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_events.h"
#include "log_capture.h"
#include "serial.h"
#include "serial_fake.h"

namespace {

namespace fake = serial::fake;
using fake::EventKind;
using serial::SerialResult;
using vpitest::LogLine;

class SerialCore : public testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        ASSERT_EQ(serial::OpenPort("COM1", LineParameters{9600, 8, 0, 0}, 8, &handle_),
                  SerialResult::Ok);
    }
    std::vector<fake::Event> EventsOf(EventKind kind) const { return vpitest::EventsOf(kind); }
    serial::PortHandle handle_ = 0;
};

TEST_F(SerialCore, ReadPortCollectsAcrossTimeoutsAndCountsPartialReads) {
    std::uint8_t buffer[32] = {};
    std::uint32_t received = 99;
    // 12 bytes within the first time-out, 8 within the next.
    fake::Deliver("COM1", std::string(12, 'a'), 10);
    fake::Deliver("COM1", std::string(8, 'b'), 1500);
    EXPECT_EQ(serial::ReadPort(handle_, buffer, 20, &received), SerialResult::Ok);
    EXPECT_EQ(received, 20u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 20),
              std::string(12, 'a') + std::string(8, 'b'));

    // Nothing in the second time-out: 7, with what came counted and kept.
    fake::Deliver("COM1", std::string(12, 'c'), 10);
    const auto start = fake::NowUs();
    EXPECT_EQ(serial::ReadPort(handle_, buffer, 20, &received), SerialResult::IoFailed);
    EXPECT_EQ(received, 12u);
    EXPECT_EQ(buffer[11], 'c');
    EXPECT_GE(fake::NowUs() - start, 2000000u);  // two full time-outs
}

TEST_F(SerialCore, ReadPortOfNothingEndsLikeASilentLine) {
    std::uint8_t buffer[4];
    std::uint32_t received = 5;
    EXPECT_EQ(serial::ReadPort(handle_, buffer, 0, &received), SerialResult::IoFailed);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(serial::ReadPort(handle_, buffer, 4, nullptr), SerialResult::IoFailed);
}

TEST_F(SerialCore, ReadPortFailsWhenTheCallFails) {
    std::uint8_t buffer[8];
    std::uint32_t received = 0;
    fake::Deliver("COM1", std::string(8, 'x'));
    fake::FailReadsAfter(3);
    EXPECT_EQ(serial::ReadPort(handle_, buffer, 8, &received), SerialResult::IoFailed);
    EXPECT_EQ(received, 0u);  // the failing call reports no count of its own
}

TEST_F(SerialCore, PurgeWithNothingWaitingReadsNothing) {
    EXPECT_EQ(serial::PurgeInput(handle_), SerialResult::Ok);
    EXPECT_TRUE(EventsOf(EventKind::Read).empty());
    EXPECT_TRUE(EventsOf(EventKind::SetTimeout).empty());
}

TEST_F(SerialCore, SetReadTimeoutSetsOnlyAChangeAndReportsTheOldValue) {
    // The value in force already: no set at all; a change: one set, the old value back in
    // units of 10 ms, rounded down; a query or a change the port refuses: 0, nothing changed.
    EXPECT_EQ(serial::SetReadTimeout(handle_, 100), 100);
    EXPECT_TRUE(EventsOf(EventKind::SetTimeout).empty());
    EXPECT_EQ(serial::SetReadTimeout(handle_, 25), 100);
    ASSERT_EQ(EventsOf(EventKind::SetTimeout).size(), 1u);
    EXPECT_EQ(EventsOf(EventKind::SetTimeout)[0].value, 250u);
    EXPECT_EQ(serial::SetReadTimeout(handle_, 25), 25);
    EXPECT_EQ(EventsOf(EventKind::SetTimeout).size(), 1u);
    fake::FailTimeoutsChange(true);
    EXPECT_EQ(serial::SetReadTimeout(handle_, 7), 0);
    EXPECT_EQ(fake::ReadTimeoutMs(handle_), 250);
    fake::FailTimeoutsChange(false);
    fake::FailReadTimeoutQuery(true);
    EXPECT_EQ(serial::SetReadTimeout(handle_, 7), 0);
    EXPECT_EQ(fake::ReadTimeoutMs(handle_), 250);
    EXPECT_EQ(EventsOf(EventKind::SetTimeout).size(), 1u);
}

TEST_F(SerialCore, PurgeOfExactly512ReadsOnceMoreAndRestoresTheTimeout) {
    fake::Deliver("COM1", std::string(512, 'z'));
    EXPECT_EQ(serial::PurgeInput(handle_), SerialResult::Ok);
    const auto reads = EventsOf(EventKind::Read);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].bytes.size(), 512u);
    EXPECT_EQ(reads[1].bytes.size(), 0u);
    const auto timeouts = EventsOf(EventKind::SetTimeout);
    ASSERT_EQ(timeouts.size(), 2u);
    EXPECT_EQ(timeouts[0].value, 50u);
    EXPECT_EQ(timeouts[1].value, 1000u);
    EXPECT_EQ(fake::ReadTimeoutMs(handle_), 1000);
    EXPECT_EQ(fake::Pending("COM1"), 0u);
}

TEST_F(SerialCore, PurgeWhenTheQueryFailsStillReads) {
    fake::FailClearErrors(true);
    fake::Deliver("COM1", std::string(100, 'q'));
    EXPECT_EQ(serial::PurgeInput(handle_), SerialResult::Ok);
    EXPECT_EQ(EventsOf(EventKind::Read).size(), 1u);
    EXPECT_EQ(fake::Pending("COM1"), 0u);
}

TEST_F(SerialCore, PurgeOfALineThatNeverGoesQuietEnds) {
    // 100 kB arriving faster than the purge reads it.
    fake::Deliver("COM1", std::vector<std::uint8_t>(100000, 'n'), 0, 10);
    EXPECT_EQ(serial::PurgeInput(handle_), SerialResult::Ok);
    EXPECT_LE(EventsOf(EventKind::Read).size(), 8u);
}

TEST_F(SerialCore, TransmitFramesTheWriteWithRtsAndItsWaits) {
    vpitest::LogCapture capture;
    ChannelState channel{};
    channel.port = handle_;
    const std::uint8_t request[] = "!006010}\r\n";
    EXPECT_TRUE(serial::Transmit(channel, request, 10));

    std::vector<EventKind> kinds;
    for (const auto& e : fake::Events()) {
        if (e.kind != EventKind::Open) kinds.push_back(e.kind);
    }
    const std::vector<EventKind> expected{EventKind::ClearErrors, EventKind::RtsOn,
                                          EventKind::Sleep,       EventKind::Write,
                                          EventKind::Sleep,       EventKind::RtsOff};
    EXPECT_EQ(kinds, expected);
    const auto on = EventsOf(EventKind::RtsOn).at(0).timeUs;
    const auto write = EventsOf(EventKind::Write).at(0).timeUs;
    const auto off = EventsOf(EventKind::RtsOff).at(0).timeUs;
    EXPECT_EQ(write - on, 10000u);
    EXPECT_EQ(off - write, 12000u);
    EXPECT_EQ(fake::Writes().at(0), std::vector<std::uint8_t>(request, request + 10));
    EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(SerialCore, TransmitDropsRtsAfterAFailedOrShortWrite) {
    ChannelState channel{};
    channel.port = handle_;
    const std::uint8_t request[] = "!00701H1I\r\n";
    fake::FailWriteCall(true);
    EXPECT_FALSE(serial::Transmit(channel, request, 11));
    ASSERT_EQ(EventsOf(EventKind::RtsOff).size(), 1u);
    EXPECT_EQ(EventsOf(EventKind::RtsOff)[0].timeUs - EventsOf(EventKind::RtsOn)[0].timeUs, 22000u);

    fake::FailWriteCall(false);
    fake::CutWritesAfter(5);
    EXPECT_FALSE(serial::Transmit(channel, request, 11));
    EXPECT_EQ(EventsOf(EventKind::RtsOff).size(), 2u);
    EXPECT_EQ(fake::Writes().back().size(), 5u);
}

TEST_F(SerialCore, RtsRefusalsAreLoggedAndDoNotFailTheTransmission) {
    vpitest::LogCapture capture;
    ChannelState channel{};
    channel.port = handle_;
    fake::FailRts(true);
    const std::uint8_t request[] = "!006010}\r\n";
    EXPECT_TRUE(serial::Transmit(channel, request, 10));
    const std::vector<LogLine> expected{{32, " Xerbo: Fail to set RTS to on"},
                                        {32, " Xerbo: Fail to set RTS to off"}};
    EXPECT_EQ(capture.Lines(), expected);
    // The waits happen whether or not RTS moved.
    EXPECT_EQ(EventsOf(EventKind::Sleep).size(), 2u);
}

TEST_F(SerialCore, WritePortReportsShortAndFailedWrites) {
    const std::uint8_t bytes[4] = {1, 2, 3, 4};
    std::uint32_t written = 77;
    fake::CutWritesAfter(3);
    EXPECT_EQ(serial::WritePort(handle_, bytes, 4, &written), SerialResult::ShortWrite);
    EXPECT_EQ(written, 3u);
    fake::CutWritesAfter(-1);
    fake::FailWriteCall(true);
    written = 77;
    EXPECT_EQ(serial::WritePort(handle_, bytes, 4, &written), SerialResult::IoFailed);
    EXPECT_EQ(written, 77u);  // untouched on a failed call
}

TEST_F(SerialCore, AReadWithinABudgetWaitsForItsFirstByteOnlyUntilTheBudgetEnds) {
    // The port's time-out is 1 s. A budget taken now ends 1 s from now; 600 ms later a read
    // within it waits 400 ms for its first byte, and the rest of a frame that began in time is
    // read with the port's own second. The port's time-out is as before afterwards.
    std::uint8_t buffer[8] = {};
    std::uint32_t received = 99;
    const serial::ReadBudget budget = serial::StartReadBudget(handle_);
    ASSERT_TRUE(budget.bounded);
    fake::Deliver("COM1", std::string(1, 'x'), 600);  // passes the time on the line's clock
    EXPECT_EQ(serial::ReadPort(handle_, buffer, 1, nullptr), SerialResult::Ok);
    std::uint64_t start = fake::NowUs();
    EXPECT_EQ(serial::ReadPortWithin(handle_, buffer, 4, &received, budget),
              SerialResult::IoFailed);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(fake::NowUs() - start, 400000u);
    EXPECT_EQ(fake::ReadTimeoutMs(handle_), 1000);

    // Past its end: only what waits already is taken (within 1 ms), and the rest of that
    // frame comes with the port's time-out.
    fake::Deliver("COM1", std::string(1, 'a'));
    fake::Deliver("COM1", std::string(3, 'b'), 900);
    start = fake::NowUs();
    EXPECT_EQ(serial::ReadPortWithin(handle_, buffer, 4, &received, budget), SerialResult::Ok);
    EXPECT_EQ(received, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "abbb");
    EXPECT_EQ(fake::NowUs() - start, 900000u);
    fake::Deliver("COM1", "defg");
    EXPECT_EQ(serial::ReadPortWithin(handle_, buffer, 4, nullptr, budget), SerialResult::Ok);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "defg");
    start = fake::NowUs();
    EXPECT_EQ(serial::ReadPortWithin(handle_, buffer, 1, nullptr, budget), SerialResult::IoFailed);
    EXPECT_EQ(fake::NowUs() - start, 1000u);

    // Asking for nothing ends like a silent line, as ReadPort does; a port that keeps no
    // time-out (or refuses a shorter one) reads as ReadPort does.
    EXPECT_EQ(serial::ReadPortWithin(handle_, buffer, 0, &received, budget),
              SerialResult::IoFailed);
    fake::FailTimeoutsChange(true);
    fake::Deliver("COM1", std::string(2, 'c'), 500);
    start = fake::NowUs();
    EXPECT_EQ(serial::ReadPortWithin(handle_, buffer, 2, &received, budget), SerialResult::Ok);
    EXPECT_EQ(fake::NowUs() - start, 500000u);
    fake::FailTimeoutsChange(false);
    fake::FailReadTimeoutQuery(true);
    EXPECT_FALSE(serial::StartReadBudget(handle_).bounded);
}

}  // namespace
