// Guards of the channel operations, the address operations and the shared line code that
// the behaviour suites do not reach: a stored port name that lost its NUL in the host's
// area, operations called without their argument record, and the optional count outputs of
// the line's reads and writes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "address.h"
#include "fake_events.h"
#include "log_capture.h"
#include "serial.h"
#include "serial_fake.h"
#include "vpi_call.h"
#include "vpi_records.h"

namespace {

namespace fake = serial::fake;
using fake::EventKind;
using serial::SerialResult;

using vpitest::Call;

std::size_t Count(EventKind kind) {
    return vpitest::CountOf(kind);
}

class ChannelEdges : public testing::Test {
protected:
    void SetUp() override { fake::Reset(); }

    // Opens COM1 with a 150 ms time-out, then fills the stored name's whole field: the
    // host owns the area and may have written over it.
    void OpenThenSpoilName() {
        OpenChannelRecord record{};
        std::memcpy(record.portName, "COM1", 4);
        record.active = 1;
        record.readTimeout = 15;
        record.line = {9600, 8, 0, 0};
        ASSERT_EQ(Call(VpiOperation::Open, &channel_, &record), VpiDone);
        std::memset(channel_.settings.portName, 'C', sizeof channel_.settings.portName);
    }

    ChannelState channel_{};
    vpitest::LogCapture log_;
};

TEST_F(ChannelEdges, ReopenRefusesAStoredNameWithoutItsNulAndOpensNothing) {
    OpenThenSpoilName();
    ASSERT_EQ(Call(VpiOperation::Close, &channel_), VpiDone);
    const std::size_t opensBefore = Count(EventKind::Open);
    EXPECT_EQ(Call(VpiOperation::ReopenPort, &channel_), VpiFailed);
    EXPECT_EQ(Count(EventKind::Open), opensBefore);
    EXPECT_EQ(channel_.port, 0u);
    EXPECT_EQ(channel_.active, 0u);
    // Nothing past the field was taken for a name: the field is as the host left it.
    EXPECT_EQ(std::string(channel_.settings.portName, sizeof channel_.settings.portName),
              std::string(sizeof channel_.settings.portName, 'C'));
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(ChannelEdges, ReconfigureTreatsAStoredNameWithoutItsNulAsAnotherPort) {
    // The stored name is no name, so it cannot be the same as the new one: the open port is
    // closed and the named one opened, with the channel's time-out.
    OpenThenSpoilName();
    const std::uint32_t old = channel_.port;
    ReconfigureRecord record{};
    std::memcpy(record.portName, "COM2", 4);
    record.line = {19200, 8, 0, 0};
    ASSERT_EQ(Call(VpiOperation::Reconfigure, &channel_, &record), VpiDone);
    EXPECT_FALSE(fake::IsOpen("COM1"));
    EXPECT_TRUE(fake::IsOpen("COM2"));
    EXPECT_NE(channel_.port, 0u);
    EXPECT_NE(channel_.port, old);
    EXPECT_STREQ(channel_.settings.portName, "COM2");
    EXPECT_EQ(fake::OpenedLine("COM2").baudRate, 19200);
    EXPECT_EQ(fake::ReadTimeoutMs(channel_.port), 150);
}

TEST(AddressEdges, TheOperationsRefuseAMissingRecordThemselves) {
    // VpiMain turns such calls away before they get here; the operations do not rely on it.
    vpitest::LogCapture log;
    const VpiCall call{nullptr, 3, 1, 0, nullptr};
    EXPECT_EQ(address::VpiParseAddress(call), VpiRefused);
    EXPECT_EQ(address::VpiCheckGate(call), VpiRefused);
    EXPECT_TRUE(log.Lines().empty());
}

class LineEdges : public testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        ASSERT_EQ(serial::OpenPort("COM1", LineParameters{9600, 8, 0, 0}, 8, &handle_),
                  SerialResult::Ok);
    }
    serial::PortHandle handle_ = 0;
};

TEST_F(LineEdges, TheCountOutputsMayBeLeftOut) {
    // Without a place for the count the results still tell success, shortness and failure.
    const std::uint8_t bytes[6] = {'a', 'b', 'c', 'd', 'e', 'f'};
    EXPECT_EQ(serial::WritePort(handle_, bytes, 6, nullptr), SerialResult::Ok);
    fake::CutWritesAfter(2);
    EXPECT_EQ(serial::WritePort(handle_, bytes, 6, nullptr), SerialResult::ShortWrite);
    fake::CutWritesAfter(-1);
    fake::FailWriteCall(true);
    EXPECT_EQ(serial::WritePort(handle_, bytes, 6, nullptr), SerialResult::IoFailed);
    fake::FailWriteCall(false);
    const auto writes = fake::Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(std::string(writes[0].begin(), writes[0].end()), "abcdef");
    EXPECT_EQ(std::string(writes[1].begin(), writes[1].end()), "ab");

    std::uint8_t buffer[8] = {};
    fake::Deliver("COM1", "xyz", 0);
    fake::Deliver("COM1", "w", 200);  // within the next read's time-out
    EXPECT_EQ(serial::ReadPort(handle_, buffer, 4, nullptr), SerialResult::Ok);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer), 4), "xyzw");
    EXPECT_EQ(serial::ReadPort(handle_, buffer, 4, nullptr), SerialResult::IoFailed);
}

}  // namespace
