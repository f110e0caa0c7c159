// The channel operations over a real back-end, through VpiMain: one scenario that the POSIX
// back-end runs on a pseudo-terminal and the Win32 back-end on a COM port under Wine.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include "serial.h"
#include "vpi_call.h"
#include "vpi_records.h"

namespace vpitest {

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
