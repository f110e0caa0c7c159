// The POSIX serial back-end against real pseudo-terminals: the test holds the master side
// and plays the far end; the back-end opens the slave as it would open a serial adapter.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "channel_lifecycle.h"
#include "elapsed.h"
#include "log_capture.h"
#include "platform.h"
#include "pty_pair.h"
#include "serial.h"
#include "serial_line_mapping.h"
#include "serial_posix_speed.h"
#include "vpi_records.h"

namespace {

using serial::PortHandle;
using serial::SerialResult;
using vpitest::LogLine;
using Clock = std::chrono::steady_clock;

using vpitest::MsSince;

using vpitest::Pty;

constexpr LineParameters kDefaultLine{9600, 8, 0, 0};

class SerialPosix : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty_.Ok()); }
    void TearDown() override {
        for (PortHandle h : open_) static_cast<void>(serial::ClosePort(h));
    }
    PortHandle OpenOk(const std::string& name, LineParameters line = kDefaultLine) {
        PortHandle handle = 0;
        EXPECT_EQ(serial::OpenPort(name.c_str(), line, 8, &handle), SerialResult::Ok) << name;
        if (handle != 0) open_.push_back(handle);
        return handle;
    }
    void Close(PortHandle handle) {
        EXPECT_EQ(serial::ClosePort(handle), SerialResult::Ok);
        std::erase(open_, handle);
    }
    // The slave's settings as the system holds them, seen through another descriptor.
    termios Applied() const {
        termios tio{};
        const int fd = open(pty_.Slave().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(tcgetattr(fd, &tio), 0);
        close(fd);
        return tio;
    }

    Pty pty_;
    std::vector<PortHandle> open_;
};

TEST_F(SerialPosix, OpensExclusivelyAndAgainAfterClose) {
    const PortHandle first = OpenOk(pty_.ShortName());
    ASSERT_NE(first, 0u);
    PortHandle second = 0;
    // By its short name and by its full path: the same device, already ours.
    EXPECT_EQ(serial::OpenPort(pty_.ShortName().c_str(), kDefaultLine, 8, &second),
              SerialResult::NotOpened);
    EXPECT_EQ(serial::OpenPort(pty_.Slave().c_str(), kDefaultLine, 8, &second),
              SerialResult::NotOpened);
    Close(first);
    const PortHandle again = OpenOk(pty_.Slave());
    EXPECT_NE(again, 0u);
}

TEST_F(SerialPosix, NamesThatAreNoPortAreRefusedWithTheirCode) {
    PortHandle handle = 0;
    EXPECT_EQ(serial::OpenPort("nosuchport", kDefaultLine, 8, &handle), SerialResult::NotOpened);
    EXPECT_EQ(serial::OpenPort("/nonexistent/tty", kDefaultLine, 8, &handle),
              SerialResult::NotOpened);
    EXPECT_EQ(serial::OpenPort("nul", kDefaultLine, 8, &handle),
              SerialResult::NotOpened);  // case counts
    // A file opens but has no line settings to read.
    char path[] = "/tmp/vpi-serial-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(serial::OpenPort(path, kDefaultLine, 8, &handle), SerialResult::StateUnreadable);
    // ...and the failed open let go of it: a lock is still free.
    const int check = open(path, O_RDONLY);
    EXPECT_EQ(flock(check, LOCK_EX | LOCK_NB), 0);
    close(check);
    unlink(path);
}

TEST_F(SerialPosix, AppliesARawLineAsAsked) {
    struct Case {
        LineParameters line;
        speed_t speed;
        bool twoStopBits;
        bool parity;
        bool stick;  // mark or space
        bool odd;
    };
    const Case cases[] = {
        {{9600, 8, 0, 0}, B9600, false, false, false, false},
        {{19200, 7, 2, 2}, B19200, true, true, false, false},
        {{1200, 7, 0, 1}, B1200, false, true, false, true},
        {{57600, 8, 0, 3}, B57600, false, true, true, true},
        {{300, 6, 2, 4}, B300, true, true, true, false},
        {{50, 5, 0, 0}, B50, false, false, false, false},
    };
    for (const Case& c : cases) {
        const PortHandle handle = OpenOk(pty_.ShortName(), c.line);
        ASSERT_NE(handle, 0u);
        const termios tio = Applied();
        EXPECT_EQ(cfgetospeed(&tio), c.speed) << c.line.baudRate;
        EXPECT_EQ(cfgetispeed(&tio), c.speed) << c.line.baudRate;
        EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
        EXPECT_EQ(tio.c_cflag & (CRTSCTS | HUPCL), 0u);
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | ISTRIP), 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.twoStopBits) << c.line.stopBits;
        EXPECT_EQ((tio.c_iflag & INPCK) != 0, c.parity) << c.line.parity;
        EXPECT_EQ((tio.c_cflag & CMSPAR) != 0, c.stick) << c.line.parity;
        // A pseudo-terminal reports eight bits without parity whatever it was told; the odd
        // bit and the stick bit it keeps.
        EXPECT_EQ((tio.c_cflag & PARODD) != 0, c.odd) << c.line.parity;
        Close(handle);
    }
}

TEST_F(SerialPosix, OtherRatesGoThroughTheArbitrarySpeedInterface) {
    for (const std::uint16_t baud : {std::uint16_t{14400}, std::uint16_t{31250}}) {
        SCOPED_TRACE(baud);
        const PortHandle handle = OpenOk(pty_.ShortName(), {baud, 8, 0, 0});
        ASSERT_NE(handle, 0u);
        // Read back through another descriptor of the same terminal.
        const int fd = open(pty_.Slave().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(serial::posix_speed::CurrentSpeed(fd), baud);
        close(fd);
        Close(handle);
    }
}

TEST_F(SerialPosix, ValuesTheLineCannotTakeAreRefusedAndLeaveThePortFree) {
    const LineParameters refused[] = {
        {0, 8, 0, 0},                      // no speed
        {9600, 4, 0, 0},                   // data bits
        {9600, 9, 0, 0}, {9600, 8, 1, 0},  // one and a half stop bits: termios has no such setting
        {9600, 8, 3, 0}, {9600, 8, 0, 5},  // parity
    };
    for (const LineParameters& line : refused) {
        PortHandle handle = 0;
        EXPECT_EQ(serial::OpenPort(pty_.ShortName().c_str(), line, 8, &handle),
                  SerialResult::SettingsRefused)
            << line.baudRate << " " << line.dataBits << " " << line.stopBits << " " << line.parity;
    }
    // None of those opens kept the port.
    Close(OpenOk(pty_.ShortName()));
}

TEST_F(SerialPosix, ReadWaitsOneTimeoutPerCallAndCountsPartialReads) {
    const PortHandle handle = OpenOk(pty_.ShortName());
    std::vector<std::thread> late;
    vpitest::RunReadWaits(handle, 400, [&](std::size_t count, char c, int delayMs) {
        if (delayMs == 0) {
            pty_.Send(std::string(count, c));
        } else {
            late.push_back(pty_.SendLater(std::string(count, c), delayMs));
        }
    });
    for (std::thread& thread : late) thread.join();
    if (HasFatalFailure()) return;

    // An empty line waits one time-out.
    std::uint8_t buffer[4] = {};
    std::uint32_t received = 0;
    const auto start = Clock::now();
    EXPECT_EQ(serial::ReadPort(handle, buffer, 4, &received), SerialResult::IoFailed);
    EXPECT_GE(MsSince(start), 300);
}

TEST_F(SerialPosix, ReadTimeoutsAreKeptPerPortAndClampedTo32BitMilliseconds) {
    Pty other;
    ASSERT_TRUE(other.Ok());
    const PortHandle a = OpenOk(pty_.ShortName());
    const PortHandle b = OpenOk(other.ShortName());
    EXPECT_EQ(serial::SetReadTimeout(a, 7), 100);
    EXPECT_EQ(serial::SetReadTimeout(b, 9), 100);
    EXPECT_EQ(serial::SetReadTimeout(a, 7), 7);  // already in force
    EXPECT_EQ(serial::SetReadTimeout(b, INT32_MAX), 9);
    EXPECT_EQ(serial::SetReadTimeout(b, 5), 429496729);  // 0xFFFFFFFF ms, rounded down
    EXPECT_EQ(serial::SetReadTimeout(a, 100), 7);
    EXPECT_EQ(serial::SetReadTimeout(0, 100), 0);  // no port
}

TEST_F(SerialPosix, PurgeReadsOnlyWhatWaitsAndRestoresTheTimeout) {
    const PortHandle handle = OpenOk(pty_.ShortName());
    // Nothing waiting: no 50 ms read. A purge that made one would never take less than 50 ms;
    // the quickest of five tells, however busy the machine.
    std::int64_t quickest = INT64_MAX;
    for (int i = 0; i < 5; ++i) {
        const auto at = Clock::now();
        EXPECT_EQ(serial::PurgeInput(handle), SerialResult::Ok);
        quickest = std::min(quickest, MsSince(at));
    }
    EXPECT_LT(quickest, 50);
    EXPECT_EQ(serial::SetReadTimeout(handle, 100), 100);

    // Exactly 512 waiting: one full read, one more that waits 50 ms for nothing.
    pty_.Send(std::string(512, 'z'));
    ASSERT_TRUE(vpitest::WaitForInput(static_cast<int>(handle), 512));
    const auto start = Clock::now();
    EXPECT_EQ(serial::PurgeInput(handle), SerialResult::Ok);
    EXPECT_GE(MsSince(start), 50);
    EXPECT_EQ(serial::SetReadTimeout(handle, 100), 100);  // the 50 ms went back
    std::uint8_t byte = 0;
    EXPECT_EQ(serial::ReadPort(handle, &byte, 1, nullptr), SerialResult::IoFailed);  // all gone
}

TEST_F(SerialPosix, TransmitFramesTheRequestAndLogsRtsOnAPseudoTerminal) {
    const PortHandle handle = OpenOk(pty_.ShortName());
    ChannelState channel{};
    channel.port = handle;
    pty_.Send("stale");
    ASSERT_TRUE(vpitest::WaitForInput(static_cast<int>(handle), 5));
    vpitest::LogCapture capture;
    const std::string request = "!006010}\r\n";
    const auto start = Clock::now();
    EXPECT_TRUE(serial::Transmit(channel, reinterpret_cast<const std::uint8_t*>(request.data()),
                                 static_cast<std::uint32_t>(request.size())));
    const auto elapsed = MsSince(start);
    EXPECT_GE(elapsed, 22 + 50);  // RTS lead and tail, and the purge's empty read
    EXPECT_LT(elapsed, 1000);
    EXPECT_EQ(pty_.Receive(request.size()), request);
    // A pseudo-terminal has no modem lines.
    const std::vector<LogLine> expected{{32, " Xerbo: Fail to set RTS to on"},
                                        {32, " Xerbo: Fail to set RTS to off"}};
    EXPECT_EQ(capture.Lines(), expected);
    std::uint8_t byte = 0;
    EXPECT_EQ(serial::ReadPort(handle, &byte, 1, nullptr), SerialResult::IoFailed);  // purged
}

TEST_F(SerialPosix, LargeWritesGoOutWhole) {
    const PortHandle handle = OpenOk(pty_.ShortName());
    std::string big(20000, 'w');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    std::string received;
    std::thread reader([&] { received = pty_.Receive(big.size(), 5000); });
    std::uint32_t written = 0;
    EXPECT_EQ(serial::WritePort(handle, reinterpret_cast<const std::uint8_t*>(big.data()),
                                static_cast<std::uint32_t>(big.size()), &written),
              SerialResult::Ok);
    reader.join();
    EXPECT_EQ(written, big.size());
    EXPECT_EQ(received, big);
}

TEST_F(SerialPosix, TheNullDeviceIsASinkWithoutALine) {
    PortHandle first = 0;
    PortHandle second = 0;
    ASSERT_EQ(serial::OpenPort("NUL", kDefaultLine, 8, &first), SerialResult::Ok);
    ASSERT_EQ(serial::OpenPort("NUL", kDefaultLine, 8, &second), SerialResult::Ok);
    open_.push_back(first);
    open_.push_back(second);
    // Nothing will ever come, and the read says so at once.
    EXPECT_LT(vpitest::RunNullDeviceSink(first), 500);
    EXPECT_EQ(serial::PurgeInput(first), SerialResult::Ok);
}

TEST_F(SerialPosix, DescriptorZeroIsNeverHandedOut) {
    // With standard input closed the system would give the port descriptor 0, which the
    // channel reads as "no port".
    const int saved = dup(0);
    ASSERT_GE(saved, 0);
    close(0);
    PortHandle handle = 0;
    const SerialResult result =
        serial::OpenPort(pty_.ShortName().c_str(), kDefaultLine, 8, &handle);
    const bool zeroFree = fcntl(0, F_GETFD) == -1;
    dup2(saved, 0);
    close(saved);
    ASSERT_EQ(result, SerialResult::Ok);
    open_.push_back(handle);
    EXPECT_NE(handle, 0u);
    EXPECT_TRUE(zeroFree);  // the temporary descriptor 0 was given back
    EXPECT_EQ(serial::ClosePort(0), SerialResult::IoFailed);
}

// The mapping from the host's line settings to termios, without a port.
TEST(LineMappingPosix, FramingFromLineParameters) {
    struct Case {
        LineParameters line;
        bool taken;
        tcflag_t size;
        tcflag_t parity;  // PARENB, PARODD, CMSPAR as set
        bool stopTwo;
    };
    const Case cases[] = {
        {{9600, 8, 0, 0}, true, CS8, 0, false},
        {{9600, 7, 0, 2}, true, CS7, PARENB, false},
        {{9600, 6, 2, 1}, true, CS6, PARENB | PARODD, true},
        {{9600, 5, 0, 3}, true, CS5, PARENB | PARODD | CMSPAR, false},
        {{9600, 8, 2, 4}, true, CS8, PARENB | CMSPAR, true},
        {{9600, 0x0108, 0x0100, 0x0100}, true, CS8, 0, false},  // only the low bytes count
        {{9600, 9, 0, 0}, false, 0, 0, false},
        {{9600, 4, 0, 0}, false, 0, 0, false},
        {{9600, 8, 0, 5}, false, 0, 0, false},
        {{9600, 8, 1, 0}, false, 0, 0, false},  // one and a half stop bits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.line.dataBits << "/" << c.line.parity << "/" << c.line.stopBits);
        termios tio{};
        tio.c_cflag = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;  // all of it set before
        tio.c_iflag = INPCK;
        const termios before = tio;
        EXPECT_EQ(serial::line_mapping::SetFraming(tio, c.line), c.taken);
        if (!c.taken) {
            // A refused setting leaves the record as it was.
            EXPECT_EQ(tio.c_cflag, before.c_cflag);
            EXPECT_EQ(tio.c_iflag, before.c_iflag);
            continue;
        }
        EXPECT_EQ(tio.c_cflag & CSIZE, c.size);
        EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), c.parity);
        EXPECT_EQ((tio.c_iflag & INPCK) != 0, c.parity != 0);
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.stopTwo);
    }
}

TEST(LineMappingPosix, HandshakeFromLineFlags) {
    struct Case {
        std::uint16_t flags;
        bool taken;
        int raise;
        int drop;
        bool rtsCts;
    };
    const Case cases[] = {
        {8, true, 0, TIOCM_DTR | TIOCM_RTS, false},  // what every channel asks for
        {0x0001, true, TIOCM_DTR, TIOCM_RTS, false},
        {0x0100, true, TIOCM_DTR, TIOCM_RTS, false},
        {0x0002, true, TIOCM_RTS, TIOCM_DTR, false},
        {0x0200, true, TIOCM_RTS, TIOCM_DTR, false},
        {0x0303, true, TIOCM_DTR | TIOCM_RTS, 0, false},
        {0x1000, true, 0, TIOCM_DTR, true},
        {0x0101 | 0x8000, true, TIOCM_DTR, TIOCM_RTS, false},  // DTR on wins over handshake
        {0x8000, false, 0, 0, false},
        {0x2000, false, 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        termios tio{};
        tio.c_cflag = CRTSCTS;
        int raise = -1;
        int drop = -1;
        EXPECT_EQ(serial::line_mapping::SetHandshake(tio, c.flags, &raise, &drop), c.taken);
        if (!c.taken) continue;
        EXPECT_EQ(raise, c.raise);
        EXPECT_EQ(drop, c.drop);
        EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, c.rtsCts);
    }
}

// The channel operations over the real back-end, through VpiMain.
TEST_F(SerialPosix, ChannelLifecycleOnARealPort) {
    ChannelState channel{};
    const auto appliedBaud = [this](serial::PortHandle) {
        const termios applied = Applied();
        const speed_t speed = cfgetospeed(&applied);
        return speed == B19200 ? 19200u : speed == B9600 ? 9600u : 0u;
    };
    vpitest::RunChannelLifecycle(pty_.ShortName(), 2, appliedBaud, channel);
    // The port is free again for anybody.
    Close(OpenOk(pty_.Slave()));
}

TEST_F(SerialPosix, FlushThrowsAwayWhatWaits) {
    ChannelState channel{};
    OpenChannelRecord open{};
    std::strncpy(open.portName, pty_.ShortName().c_str(), sizeof open.portName - 1);
    open.active = 1;
    open.readTimeout = 10;
    open.line = kDefaultLine;
    ASSERT_EQ(vpitest::Call(VpiOperation::Open, &channel, &open), VpiDone);
    pty_.Send("junk");
    // Until the terminal has handed the bytes over.
    std::uint32_t waiting = 0;
    for (const auto start = Clock::now(); waiting < 4 && MsSince(start) < 5000 &&
                                          serial::platform::ClearErrors(channel.port, &waiting);) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(waiting, 4u);
    EXPECT_EQ(vpitest::Call(VpiOperation::Flush, &channel), VpiDone);
    std::uint8_t byte = 0;
    EXPECT_EQ(serial::ReadPort(channel.port, &byte, 1, nullptr), SerialResult::IoFailed);
    EXPECT_EQ(vpitest::Call(VpiOperation::Close, &channel), VpiDone);
}

// A state area the host did not zero: `port` holds a descriptor of the host's own (here the
// write end of a pipe). Open replaces it without closing it; close clears it; reads, writes,
// flush and reopen never touch it. Ports the module opened behave as ever.
TEST_F(SerialPosix, AStateAreaThatWasNotZeroedNeverTouchesTheHostsDescriptor) {
    int pipeEnds[2] = {-1, -1};
    ASSERT_EQ(pipe2(pipeEnds, O_NONBLOCK | O_CLOEXEC), 0);
    const int hosts = pipeEnds[1];
    auto stillOpen = [hosts] { return fcntl(hosts, F_GETFD) != -1; };
    auto nothingWritten = [&pipeEnds] {
        char byte = 0;
        return read(pipeEnds[0], &byte, 1) == -1 && errno == EAGAIN;
    };
    vpitest::LogCapture log;

    ChannelState channel{};
    std::memset(&channel, 0x5A, sizeof channel);  // what a fresh allocation may hold
    channel.port = static_cast<std::uint32_t>(hosts);
    channel.readTimeout = 2;

    // Close of a value that is no port of ours: nothing closed, the value cleared, 0.
    VpiCall call{&channel, static_cast<std::int32_t>(VpiOperation::Close), 1, 0, nullptr};
    EXPECT_EQ(VpiMain(&call), VpiDone);
    EXPECT_EQ(channel.port, 0u);
    EXPECT_TRUE(stillOpen());

    // Flush, a plain read (eight attempts, their usual messages and result) and a command
    // write on that value: nothing written into the host's descriptor.
    channel.port = static_cast<std::uint32_t>(hosts);
    call.operation = static_cast<std::int32_t>(VpiOperation::Flush);
    EXPECT_EQ(VpiMain(&call), VpiDone);
    float values[28] = {};
    GateIoRecord gate{};
    gate.plcAddress = 0;
    gate.memtype = MEMTYPE_PLAIN;
    gate.count = 28;
    gate.values = values;
    call = VpiCall{&channel, static_cast<std::int32_t>(VpiOperation::Read), 1, 0, &gate};
    EXPECT_EQ(VpiMain(&call), VpiFailed);
    std::size_t noReply = 0;
    for (const LogLine& line : log.Take()) {
        noReply += line.text == "Xerbo : Fail to recv response to read data (Vpi # 1,PLC # 0)";
    }
    EXPECT_EQ(noReply, 8u);
    float one = 1.0f;
    GateIoRecord command{};
    command.memtype = MEMTYPE_INDEX_ZERO;
    command.count = 1;
    command.values = &one;
    call = VpiCall{&channel, static_cast<std::int32_t>(VpiOperation::Write), 1, 0, &command};
    EXPECT_EQ(VpiMain(&call), VpiFailed);
    EXPECT_TRUE(nothingWritten());
    EXPECT_TRUE(stillOpen());
    EXPECT_EQ(channel.port, static_cast<std::uint32_t>(hosts));

    // Open replaces the value without closing it; the module's own port then closes as ever.
    OpenChannelRecord open{};
    std::strncpy(open.portName, pty_.ShortName().c_str(), sizeof open.portName - 1);
    open.active = 1;
    open.readTimeout = 10;
    open.line = kDefaultLine;
    call = VpiCall{&channel, static_cast<std::int32_t>(VpiOperation::Open), 1, 0, &open};
    ASSERT_EQ(VpiMain(&call), VpiDone);
    EXPECT_NE(channel.port, static_cast<std::uint32_t>(hosts));
    EXPECT_TRUE(stillOpen());
    const int ours = static_cast<int>(channel.port);
    call = VpiCall{&channel, static_cast<std::int32_t>(VpiOperation::Close), 1, 0, nullptr};
    EXPECT_EQ(VpiMain(&call), VpiDone);
    EXPECT_EQ(fcntl(ours, F_GETFD), -1);  // the module's port is closed

    // Reopen and reconfigure treat the host's value as no port: they open the stored port.
    channel.port = static_cast<std::uint32_t>(hosts);
    call.operation = static_cast<std::int32_t>(VpiOperation::ReopenPort);
    ASSERT_EQ(VpiMain(&call), VpiDone);
    EXPECT_NE(channel.port, static_cast<std::uint32_t>(hosts));
    call.operation = static_cast<std::int32_t>(VpiOperation::ClosePort);
    EXPECT_EQ(VpiMain(&call), VpiDone);
    channel.port = static_cast<std::uint32_t>(hosts);
    ReconfigureRecord same{};
    std::memcpy(same.portName, open.portName, sizeof open.portName);
    call = VpiCall{&channel, static_cast<std::int32_t>(VpiOperation::Reconfigure), 1, 0, &same};
    ASSERT_EQ(VpiMain(&call), VpiDone);
    EXPECT_NE(channel.port, static_cast<std::uint32_t>(hosts));
    call = VpiCall{&channel, static_cast<std::int32_t>(VpiOperation::Close), 1, 0, nullptr};
    EXPECT_EQ(VpiMain(&call), VpiDone);

    EXPECT_TRUE(stillOpen());
    EXPECT_TRUE(nothingWritten());
    close(pipeEnds[0]);
    close(pipeEnds[1]);
}

}  // namespace
