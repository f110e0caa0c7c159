// The channel operations through VpiMain over the emulated line: the state machine of open,
// flush, close, reopen and reconfigure, the open-failure line, and the port name's bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fake_events.h"
#include "log_capture.h"
#include "serial_fake.h"
#include "vpi_call.h"
#include "vpi_records.h"

#if !defined(_WIN32)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

namespace fake = serial::fake;
using fake::EventKind;
using vpitest::LogLine;

using vpitest::Call;

// Copies at most 11 characters into a zeroed 12-byte name field.
void CopyName(char* field, const char* name) {
    std::memcpy(field, name, std::min<std::size_t>(std::strlen(name), 11));
}

OpenChannelRecord OpenRecord(const char* name, std::uint32_t active, std::int32_t timeout,
                             LineParameters line = {9600, 8, 0, 0}) {
    OpenChannelRecord record{};
    CopyName(record.portName, name);
    record.active = active;
    record.readTimeout = timeout;
    record.line = line;
    return record;
}

ReconfigureRecord ReconfigureTo(const char* name, LineParameters line) {
    ReconfigureRecord record{};
    CopyName(record.portName, name);
    record.line = line;
    return record;
}

std::size_t Count(EventKind kind) {
    return vpitest::CountOf(kind);
}

class Channel : public testing::Test {
protected:
    void SetUp() override { fake::Reset(); }

    // Opens `name` on the channel and checks it worked.
    void Open(const char* name, std::uint32_t active = 1, std::int32_t timeout = 30) {
        OpenChannelRecord record = OpenRecord(name, active, timeout);
        ASSERT_EQ(Call(VpiOperation::Open, &channel_, &record), VpiDone);
    }

    ChannelState channel_{};
    vpitest::LogCapture log_;
};

TEST_F(Channel, OpenStoresTheSettingsAndAppliesTheReadTimeout) {
    OpenChannelRecord record = OpenRecord("COM2", 1, 25, {4800, 7, 2, 2});
    ASSERT_EQ(Call(VpiOperation::Open, &channel_, &record), VpiDone);
    EXPECT_TRUE(fake::IsOpen("COM2"));
    EXPECT_NE(channel_.port, 0u);
    EXPECT_EQ(channel_.active, 1u);
    EXPECT_EQ(channel_.readTimeout, 25);
    EXPECT_STREQ(channel_.settings.portName, "COM2");
    EXPECT_EQ(channel_.settings.lineFlags, 8);
    EXPECT_EQ(fake::OpenedFlags("COM2"), 8);
    const LineParameters line = fake::OpenedLine("COM2");
    EXPECT_EQ(line.baudRate, 4800);
    EXPECT_EQ(line.dataBits, 7);
    EXPECT_EQ(line.stopBits, 2);
    EXPECT_EQ(line.parity, 2);
    EXPECT_EQ(fake::ReadTimeoutMs(channel_.port), 250);
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(Channel, OpenWithActiveZeroTouchesOnlyActive) {
    Open("COM1");
    const ChannelState before = channel_;
    OpenChannelRecord record = OpenRecord("COM3", 0, 99);
    EXPECT_EQ(Call(VpiOperation::Open, &channel_, &record), VpiDone);
    EXPECT_EQ(channel_.active, 0u);
    EXPECT_EQ(channel_.port, before.port);
    EXPECT_TRUE(fake::IsOpen("COM1"));
    EXPECT_FALSE(fake::IsOpen("COM3"));
    EXPECT_EQ(channel_.readTimeout, 30);
    EXPECT_EQ(std::memcmp(&channel_.settings, &before.settings, sizeof before.settings), 0);
}

TEST_F(Channel, OpenFailureLogsTheShortNameAndThePortName) {
    // Each of the layer's failures becomes 2 with the same line.
    for (serial::SerialResult failure :
         {serial::SerialResult::NotOpened, serial::SerialResult::StateUnreadable,
          serial::SerialResult::SettingsRefused}) {
        fake::FailOpen(failure);
        OpenChannelRecord record = OpenRecord("COM3", 7, 50);
        EXPECT_EQ(Call(VpiOperation::Open, &channel_, &record), VpiFailed);
        EXPECT_EQ(log_.Take(),
                  (std::vector<LogLine>{{32, "VPISATEC, Powermeter : Fail to open COM3"}}));
        EXPECT_EQ(channel_.active, 7u);  // the record's value, as on success
        EXPECT_EQ(channel_.port, 0u);
    }
    fake::FailOpen(serial::SerialResult::Ok);
    OpenChannelRecord missing = OpenRecord("COM9", 1, 50);
    EXPECT_EQ(Call(VpiOperation::Open, &channel_, &missing), VpiFailed);
    EXPECT_EQ(log_.Take(),
              (std::vector<LogLine>{{32, "VPISATEC, Powermeter : Fail to open COM9"}}));
}

TEST_F(Channel, OpenOnAnOpenChannelClosesItsPortFirst) {
    Open("COM1");
    const std::uint32_t first = channel_.port;
    Open("COM2", 3, 40);
    EXPECT_FALSE(fake::IsOpen("COM1"));
    EXPECT_TRUE(fake::IsOpen("COM2"));
    EXPECT_NE(channel_.port, first);
    EXPECT_EQ(channel_.active, 3u);
    // The same port again: closed and opened anew, not refused as already open.
    Open("COM2", 1, 40);
    EXPECT_TRUE(fake::IsOpen("COM2"));
    EXPECT_EQ(Count(EventKind::Close), 2u);

    // When the system will not let go of the old port, the open fails and the old handle
    // stays with the channel.
    fake::FailClose(true);
    const std::uint32_t held = channel_.port;
    OpenChannelRecord record = OpenRecord("COM3", 1, 40);
    EXPECT_EQ(Call(VpiOperation::Open, &channel_, &record), VpiFailed);
    EXPECT_EQ(channel_.port, held);
    EXPECT_FALSE(fake::IsOpen("COM3"));
    EXPECT_EQ(log_.Take(),
              (std::vector<LogLine>{{32, "VPISATEC, Powermeter : Fail to open COM3"}}));
}

TEST_F(Channel, ActiveFiveStaysUntilCloseAndReopenMakeItOne) {
    Open("COM1", 5);
    EXPECT_EQ(channel_.active, 5u);
    EXPECT_EQ(Call(VpiOperation::Close, &channel_), VpiDone);
    EXPECT_EQ(channel_.active, 0u);
    EXPECT_EQ(channel_.port, 0u);
    EXPECT_EQ(Call(VpiOperation::ReopenPort, &channel_), VpiDone);
    EXPECT_EQ(channel_.active, 1u);
    EXPECT_TRUE(fake::IsOpen("COM1"));
}

TEST_F(Channel, CloseAndClosePortAreTheSameAndIdempotent) {
    for (VpiOperation close : {VpiOperation::Close, VpiOperation::ClosePort}) {
        Open("COM1");
        EXPECT_EQ(Call(close, &channel_), VpiDone);
        EXPECT_FALSE(fake::IsOpen("COM1"));
        EXPECT_EQ(Call(close, &channel_), VpiDone);  // no port: nothing to do
        EXPECT_EQ(channel_.readTimeout, 30);         // kept for a reopen
        EXPECT_STREQ(channel_.settings.portName, "COM1");
    }
    EXPECT_EQ(Count(EventKind::Close), 2u);
}

TEST_F(Channel, ARefusedCloseChangesNothing) {
    Open("COM1", 6);
    fake::FailClose(true);
    const std::uint32_t port = channel_.port;
    EXPECT_EQ(Call(VpiOperation::Close, &channel_), VpiFailed);
    EXPECT_EQ(channel_.port, port);
    EXPECT_EQ(channel_.active, 6u);
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(Channel, ARefusedCloseLeavesAWorkingPortAndTheNextCloseClosesTheChannel) {
    Open("COM1", 6);
    fake::FailClose(true);
    EXPECT_EQ(Call(VpiOperation::Close, &channel_), VpiFailed);
    fake::Deliver("COM1", std::string(8, 'x'));
    EXPECT_EQ(Call(VpiOperation::Flush, &channel_), VpiDone);
    EXPECT_EQ(fake::Pending("COM1"), 0u);  // still the channel's own port
    fake::FailClose(false);
    EXPECT_EQ(Call(VpiOperation::Close, &channel_), VpiDone);
    EXPECT_EQ(channel_.port, 0u);
    EXPECT_EQ(channel_.active, 0u);
    EXPECT_FALSE(fake::IsOpen("COM1"));
}

TEST_F(Channel, AnAreaHoldingAnotherChannelsPortNeverActsOnIt) {
    // A copy of an open channel's area (or one never zeroed that happens to hold its handle):
    // flush, read, write and close leave that port alone, and an open replaces the value
    // without closing it.
    Open("COM1");
    ChannelState copy = channel_;
    fake::Deliver("COM1", std::string(8, 'x'));
    EXPECT_EQ(Call(VpiOperation::Flush, &copy), VpiDone);
    EXPECT_EQ(fake::Pending("COM1"), 8u);
    float value = 1.0f;
    GateIoRecord command{};
    command.memtype = MEMTYPE_INDEX_ZERO;
    command.count = 1;
    command.values = &value;
    EXPECT_EQ(Call(VpiOperation::Write, &copy, &command), VpiFailed);
    GateIoRecord plain{};
    plain.count = 1;
    plain.values = &value;
    EXPECT_EQ(Call(VpiOperation::Read, &copy, &plain), VpiFailed);
    EXPECT_EQ(Count(EventKind::Write), 0u);
    EXPECT_EQ(Count(EventKind::Read), 0u);
    EXPECT_EQ(fake::Pending("COM1"), 8u);
    log_.Clear();

    EXPECT_EQ(Call(VpiOperation::Close, &copy), VpiDone);
    EXPECT_EQ(copy.port, 0u);
    EXPECT_EQ(copy.active, 0u);
    EXPECT_TRUE(fake::IsOpen("COM1"));
    copy.port = channel_.port;
    OpenChannelRecord record = OpenRecord("COM2", 1, 20);
    ASSERT_EQ(Call(VpiOperation::Open, &copy, &record), VpiDone);
    EXPECT_NE(copy.port, channel_.port);
    EXPECT_TRUE(fake::IsOpen("COM1"));
    EXPECT_EQ(Count(EventKind::Close), 0u);
}

TEST_F(Channel, FlushPurgesAnOpenPortAndIgnoresAMissingOne) {
    EXPECT_EQ(Call(VpiOperation::Flush, &channel_), VpiDone);
    EXPECT_TRUE(fake::Events().empty());
    Open("COM1");
    fake::Deliver("COM1", std::string(40, 'x'));
    EXPECT_EQ(Call(VpiOperation::Flush, &channel_), VpiDone);
    EXPECT_EQ(fake::Pending("COM1"), 0u);
    // The purge's 50 ms went back to the channel's own time-out.
    EXPECT_EQ(fake::ReadTimeoutMs(channel_.port), 300);
    fake::FailReadsAfter(0);
    fake::Deliver("COM1", std::string(4, 'y'));
    EXPECT_EQ(Call(VpiOperation::Flush, &channel_), VpiDone);  // even when the purge fails
}

TEST_F(Channel, ReopenKeepsTheOpeningTimeoutAndRefusesAnOpenPort) {
    Open("COM2", 1, 20);
    EXPECT_EQ(fake::ReadTimeoutMs(channel_.port), 200);
    const std::uint32_t held = channel_.port;
    EXPECT_EQ(Call(VpiOperation::ReopenPort, &channel_), VpiFailed);
    EXPECT_EQ(channel_.port, held);
    EXPECT_TRUE(fake::IsOpen("COM2"));

    ASSERT_EQ(Call(VpiOperation::Close, &channel_), VpiDone);
    ASSERT_EQ(Call(VpiOperation::ReopenPort, &channel_), VpiDone);
    EXPECT_EQ(fake::ReadTimeoutMs(channel_.port), 1000);
    EXPECT_EQ(fake::OpenedLine("COM2").baudRate, 9600);

    ASSERT_EQ(Call(VpiOperation::Close, &channel_), VpiDone);
    fake::RemovePort("COM2");
    EXPECT_EQ(Call(VpiOperation::ReopenPort, &channel_), VpiFailed);
    EXPECT_EQ(channel_.port, 0u);
    EXPECT_EQ(channel_.active, 0u);
    EXPECT_TRUE(log_.Lines().empty());  // reopen fails silently
}

TEST_F(Channel, ReconfigureWithANewNameMovesToTheNewPort) {
    Open("COM1", 1, 15);
    ReconfigureRecord record = ReconfigureTo("COM4", {19200, 7, 0, 1});
    ASSERT_EQ(Call(VpiOperation::Reconfigure, &channel_, &record), VpiDone);
    EXPECT_FALSE(fake::IsOpen("COM1"));
    EXPECT_TRUE(fake::IsOpen("COM4"));
    EXPECT_STREQ(channel_.settings.portName, "COM4");
    EXPECT_EQ(fake::OpenedLine("COM4").baudRate, 19200);
    EXPECT_EQ(fake::OpenedLine("COM4").parity, 1);
    EXPECT_EQ(channel_.settings.line.dataBits, 7);
    EXPECT_EQ(channel_.settings.lineFlags, 8);
    EXPECT_EQ(channel_.active, 1u);
    EXPECT_EQ(fake::ReadTimeoutMs(channel_.port), 150);
}

TEST_F(Channel, ReconfigureWithBaudZeroKeepsTheLine) {
    OpenChannelRecord open = OpenRecord("COM1", 1, 15, {2400, 8, 2, 0});
    ASSERT_EQ(Call(VpiOperation::Open, &channel_, &open), VpiDone);
    ReconfigureRecord record = ReconfigureTo("COM3", {0, 5, 1, 4});
    ASSERT_EQ(Call(VpiOperation::Reconfigure, &channel_, &record), VpiDone);
    const LineParameters line = fake::OpenedLine("COM3");
    EXPECT_EQ(line.baudRate, 2400);
    EXPECT_EQ(line.dataBits, 8);
    EXPECT_EQ(line.stopBits, 2);
    EXPECT_EQ(line.parity, 0);
}

TEST_F(Channel, ReconfigureWithTheSameNameWhileOpenFailsAndKeepsThePort) {
    Open("COM1", 1, 15);
    const std::uint32_t held = channel_.port;
    ReconfigureRecord record = ReconfigureTo("COM1", {38400, 8, 0, 0});
    EXPECT_EQ(Call(VpiOperation::Reconfigure, &channel_, &record), VpiFailed);
    EXPECT_EQ(channel_.port, held);
    EXPECT_TRUE(fake::IsOpen("COM1"));
    EXPECT_EQ(fake::OpenedLine("COM1").baudRate, 9600);  // not applied...
    EXPECT_EQ(channel_.settings.line.baudRate, 38400);   // ...but stored for a reopen
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(Channel, ReconfigureOnAClosedChannelOpensWithTheStoredTimeout) {
    Open("COM1", 1, 12);
    ASSERT_EQ(Call(VpiOperation::Close, &channel_), VpiDone);
    ReconfigureRecord record = ReconfigureTo("COM1", {0, 0, 0, 0});
    ASSERT_EQ(Call(VpiOperation::Reconfigure, &channel_, &record), VpiDone);
    EXPECT_EQ(channel_.active, 1u);
    EXPECT_EQ(fake::ReadTimeoutMs(channel_.port), 120);

    ASSERT_EQ(Call(VpiOperation::Close, &channel_), VpiDone);
    ReconfigureRecord missing = ReconfigureTo("COM8", {1200, 8, 0, 0});
    EXPECT_EQ(Call(VpiOperation::Reconfigure, &channel_, &missing), VpiFailed);
    EXPECT_STREQ(channel_.settings.portName, "COM8");  // stored although not opened
    EXPECT_EQ(channel_.port, 0u);
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(Channel, NonPositiveTimeoutsKeepTheOpeningSecond) {
    struct Case {
        std::int32_t units;
        std::int32_t expectedMs;
    };
    const Case cases[] = {{0, 1000}, {-5, 1000}, {INT32_MIN, 1000}, {1, 10}, {100, 1000}};
    for (const Case& c : cases) {
        fake::Reset();
        channel_ = ChannelState{};
        Open("COM1", 1, c.units);
        EXPECT_EQ(fake::ReadTimeoutMs(channel_.port), c.expectedMs) << c.units;
        EXPECT_EQ(channel_.readTimeout, c.units);  // stored as received
    }
}

TEST_F(Channel, TheNullDeviceOpensAndNeverLosesItsHandle) {
    Open("NUL");
    const std::uint32_t held = channel_.port;
    EXPECT_EQ(Call(VpiOperation::ReopenPort, &channel_), VpiFailed);
    ReconfigureRecord record = ReconfigureTo("NUL", {9600, 8, 0, 0});
    EXPECT_EQ(Call(VpiOperation::Reconfigure, &channel_, &record), VpiFailed);
    EXPECT_EQ(channel_.port, held);
    EXPECT_EQ(Count(EventKind::Open), 1u);
}

TEST_F(Channel, APortNameWithoutItsNulIsRefusedAndShownCut) {
    OpenChannelRecord record = OpenRecord("", 1, 10);
    std::memset(record.portName, 'A', sizeof record.portName);
    EXPECT_EQ(Call(VpiOperation::Open, &channel_, &record), VpiFailed);
    EXPECT_EQ(log_.Take(),
              (std::vector<LogLine>{{32, "VPISATEC, Powermeter : Fail to open AAAAAAAAAAA"}}));
    EXPECT_EQ(Count(EventKind::Open), 0u);

    // Eleven characters are a name.
    fake::AddPort("ABCDEFGHIJK");
    OpenChannelRecord longest = OpenRecord("ABCDEFGHIJK", 1, 10);
    EXPECT_EQ(Call(VpiOperation::Open, &channel_, &longest), VpiDone);

    // Reconfigure: a NUL in bytes 12 to 15 does not make the first 12 a name.
    ReconfigureRecord reconfigure{};
    std::memset(reconfigure.portName, 'B', 12);
    reconfigure.line = {9600, 8, 0, 0};
    EXPECT_EQ(Call(VpiOperation::Reconfigure, &channel_, &reconfigure), VpiFailed);
    EXPECT_STREQ(channel_.settings.portName, "ABCDEFGHIJK");  // nothing taken over
    EXPECT_TRUE(fake::IsOpen("ABCDEFGHIJK"));
}

#if !defined(_WIN32)
// The name field as the last bytes before an unmapped page: a driver that looks for a NUL
// past the field takes a fault instead of passing.
TEST_F(Channel, NothingIsReadPastTheNameField) {
    const long page = sysconf(_SC_PAGESIZE);
    void* area = mmap(nullptr, static_cast<std::size_t>(page) * 2, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(area, MAP_FAILED);
    auto* base = static_cast<char*>(area);
    ASSERT_EQ(mprotect(base + page, static_cast<std::size_t>(page), PROT_NONE), 0);

    // Reconfigure reads only the first 12 of its 16 bytes: place them at the page's end.
    char* name = base + page - 12;
    std::memset(name, 'C', 12);
    auto* reconfigure = reinterpret_cast<ReconfigureRecord*>(name);
    EXPECT_EQ(Call(VpiOperation::Reconfigure, &channel_, reconfigure), VpiFailed);

    // Open: the whole record, name unterminated, ends at the page.
    auto* open = reinterpret_cast<OpenChannelRecord*>(base + page - sizeof(OpenChannelRecord));
    std::memset(open->portName, 'D', sizeof open->portName);
    open->active = 1;
    open->readTimeout = 10;
    open->line = {9600, 8, 0, 0};
    EXPECT_EQ(Call(VpiOperation::Open, &channel_, open), VpiFailed);
    EXPECT_EQ(log_.Take(),
              (std::vector<LogLine>{{32, "VPISATEC, Powermeter : Fail to open DDDDDDDDDDD"}}));
    munmap(area, static_cast<std::size_t>(page) * 2);
}
#endif

}  // namespace
