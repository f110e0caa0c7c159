// Scenarios that both real back-ends run, the POSIX one on a pseudo-terminal and the Win32 one
// on a COM port under Wine: the read time-out on a line that the test's far end feeds, the null
// device, and the channel operations through VpiMain.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include "elapsed.h"
#include "log_capture.h"
#include "serial.h"
#include "vpi_call.h"
#include "vpi_records.h"

namespace vpitest {

// The far end of the line as each platform's test plays it: `count` times `c`, sent `delayMs`
// after the call.
using FarEndSend = std::function<void(std::size_t count, char c, int delayMs)>;

// `handle` freshly opened (read time-out 1000 ms), set to 300 ms. 12 bytes at once and 8 more
// `lateMs` later (between one and two time-outs): a read for 20 takes them all, having waited
// out its first time-out for the rest. 12 bytes and then nothing: the read for 20 fails after
// two time-outs with the 12 counted. A read for nothing ends like a silent line.
inline void RunReadWaits(serial::PortHandle handle, int lateMs, const FarEndSend& send) {
    ASSERT_EQ(serial::SetReadTimeout(handle, 30), 100);  // 1000 ms since the open
    std::uint8_t buffer[32] = {};
    std::uint32_t received = 0;

    // 12 bytes in the first time-out, 8 in the next.
    send(8, 'b', lateMs);
    send(12, 'a', 0);
    auto start = Clock::now();
    EXPECT_EQ(serial::ReadPort(handle, buffer, 20, &received), serial::SerialResult::Ok);
    EXPECT_EQ(received, 20u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 20),
              std::string(12, 'a') + std::string(8, 'b'));
    EXPECT_GE(MsSince(start), 300);  // the first read waited out its time-out for the rest

    // Nothing in the second time-out: 7 with the 12 counted, after two time-outs.
    send(12, 'c', 0);
    start = Clock::now();
    EXPECT_EQ(serial::ReadPort(handle, buffer, 20, &received), serial::SerialResult::IoFailed);
    const auto elapsed = MsSince(start);
    EXPECT_EQ(received, 12u);
    EXPECT_EQ(buffer[11], 'c');
    EXPECT_GE(elapsed, 600);
    EXPECT_LT(elapsed, 3000);

    EXPECT_EQ(serial::ReadPort(handle, buffer, 0, &received), serial::SerialResult::IoFailed);
    EXPECT_EQ(received, 0u);
}

// `handle` open on the null device "NUL", a sink without a line: it keeps no read time-out,
// takes every byte written, has nothing to read, and both switches of RTS fail and are logged.
// The milliseconds the read took.
inline std::int64_t RunNullDeviceSink(serial::PortHandle handle) {
    EXPECT_EQ(serial::SetReadTimeout(handle, 5), 0);
    std::uint32_t written = 0;
    const std::uint8_t bytes[3] = {1, 2, 3};
    EXPECT_EQ(serial::WritePort(handle, bytes, 3, &written), serial::SerialResult::Ok);
    EXPECT_EQ(written, 3u);
    std::uint8_t buffer[4];
    const auto start = Clock::now();
    EXPECT_EQ(serial::ReadPort(handle, buffer, 4, nullptr), serial::SerialResult::IoFailed);
    const std::int64_t readMs = MsSince(start);
    LogCapture capture;
    serial::RaiseRts(handle);
    serial::DropRts(handle);
    EXPECT_EQ(capture.Lines().size(), 2u);
    return readMs;
}

// The baud rate the line behind an open port holds, as the platform reports it.
using AppliedBaud = std::function<std::uint32_t(serial::PortHandle)>;

// Open at 19200 baud with a read time-out of 250 ms; a reconfigure under the same name while
// open is refused and keeps the port, but stores its 9600 baud; close twice; reopen brings the
// port back with the stored line and the opening second; close the port. `channel` is left
// closed.
inline void RunChannelLifecycle(const std::string& portName, std::uint16_t stopBits,
                                const AppliedBaud& appliedBaud, ChannelState& channel) {
    OpenChannelRecord open{};
    ASSERT_LT(portName.size(), sizeof open.portName) << "port name too long";
    std::memcpy(open.portName, portName.c_str(), portName.size() + 1);
    open.active = 1;
    open.readTimeout = 25;
    open.line = {19200, 8, stopBits, 0};
    ASSERT_EQ(Call(VpiOperation::Open, &channel, &open), VpiDone);
    EXPECT_EQ(serial::SetReadTimeout(channel.port, 25), 25);  // applied
    EXPECT_EQ(appliedBaud(channel.port), 19200u);

    ReconfigureRecord same{};
    std::memcpy(same.portName, open.portName, sizeof open.portName);
    same.line = {9600, 8, 0, 0};
    const std::uint32_t held = channel.port;
    EXPECT_EQ(Call(VpiOperation::Reconfigure, &channel, &same), VpiFailed);
    EXPECT_EQ(channel.port, held);

    EXPECT_EQ(Call(VpiOperation::Close, &channel), VpiDone);
    EXPECT_EQ(Call(VpiOperation::Close, &channel), VpiDone);
    ASSERT_EQ(Call(VpiOperation::ReopenPort, &channel), VpiDone);
    EXPECT_EQ(channel.active, 1u);
    EXPECT_EQ(serial::SetReadTimeout(channel.port, 100), 100);  // reopen keeps 1000 ms
    EXPECT_EQ(appliedBaud(channel.port), 9600u);  // the settings the refused reconfigure stored

    EXPECT_EQ(Call(VpiOperation::ClosePort, &channel), VpiDone);
    EXPECT_EQ(channel.port, 0u);
}

}  // namespace vpitest
