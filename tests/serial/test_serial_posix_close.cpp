// A close the system refuses, on the POSIX back-end and through VpiMain. The program is linked
// with close() wrapped, so that the test decides what the system answers for one descriptor:
// a refusal that keeps it open (as Win32's CloseHandle may refuse), or one after which it is
// gone all the same (as Linux does when close reports an I/O error).
#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "log_capture.h"
#include "pty_pair.h"
#include "serial.h"
#include "vpi_call.h"
#include "vpi_records.h"

namespace {

// The descriptor whose next close is refused (-1: none), and whether it is gone regardless.
std::atomic<int> gRefuse{-1};
std::atomic<bool> gReleaseAnyway{false};

}  // namespace

extern "C" int __real_close(int fd);

extern "C" int __wrap_close(int fd) {
    int expected = fd;
    if (fd < 0 || !gRefuse.compare_exchange_strong(expected, -1)) return __real_close(fd);
    if (gReleaseAnyway) static_cast<void>(__real_close(fd));
    errno = EIO;
    return -1;
}

namespace {

using vpitest::Call;

class RefusedClose : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty_.Ok());
        OpenChannelRecord open{};
        const std::string name = pty_.ShortName();
        ASSERT_LT(name.size(), sizeof open.portName);
        std::memcpy(open.portName, name.c_str(), name.size() + 1);
        open.active = 3;
        open.readTimeout = 5;
        open.line = LineParameters{9600, 8, 0, 0};
        ASSERT_EQ(Call(VpiOperation::Open, &channel_, &open), VpiDone);
    }
    void TearDown() override {
        gRefuse = -1;
        gReleaseAnyway = false;
        static_cast<void>(Call(VpiOperation::Close, &channel_));
    }

    // True when the flush threw away what the far end had sent: the channel still acts on its
    // port.
    bool FlushReachesThePort() {
        pty_.Send("stale");
        pollfd entry{static_cast<int>(channel_.port), POLLIN, 0};
        if (poll(&entry, 1, 2000) != 1) return false;
        EXPECT_EQ(Call(VpiOperation::Flush, &channel_), VpiDone);
        return poll(&entry, 1, 0) == 0;
    }

    vpitest::Pty pty_;
    vpitest::LogCapture log_;
    ChannelState channel_{};
};

TEST_F(RefusedClose, ThePortStaysTheChannelsAndTheNextCloseClosesIt) {
    const serial::PortHandle port = channel_.port;
    gRefuse = static_cast<int>(port);
    EXPECT_EQ(Call(VpiOperation::Close, &channel_), VpiFailed);
    // Still open, as before the close: the same port, the same active, and it works.
    EXPECT_EQ(channel_.port, port);
    EXPECT_EQ(channel_.active, 3u);
    EXPECT_TRUE(FlushReachesThePort());
    EXPECT_EQ(Call(VpiOperation::Close, &channel_), VpiDone);
    EXPECT_EQ(channel_.port, 0u);
    EXPECT_EQ(channel_.active, 0u);
    EXPECT_FALSE(serial::OwnsPort(port));
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(RefusedClose, ADescriptorGoneDespiteTheRefusalLeavesAClosedChannelAfterTheNextClose) {
    const serial::PortHandle port = channel_.port;
    gRefuse = static_cast<int>(port);
    gReleaseAnyway = true;
    EXPECT_EQ(Call(VpiOperation::Close, &channel_), VpiFailed);
    EXPECT_EQ(channel_.port, port);
    EXPECT_EQ(channel_.active, 3u);
    // The system let go of it: the channel has no port in fact, and its next close says so.
    EXPECT_EQ(Call(VpiOperation::Close, &channel_), VpiDone);
    EXPECT_EQ(channel_.port, 0u);
    EXPECT_EQ(channel_.active, 0u);
    EXPECT_FALSE(serial::OwnsPort(port));
    // Closed like any other channel: reopen brings the port back.
    EXPECT_EQ(Call(VpiOperation::ReopenPort, &channel_), VpiDone);
    EXPECT_EQ(channel_.active, 1u);
    EXPECT_TRUE(FlushReachesThePort());
}

}  // namespace
