// A serial port held by the line tools (scan, sniff) through the serial layer itself, not
// through the driver: opened at one line setting, closed when it goes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/non_copyable.h"
#include "serial.h"
#include "vpi_records.h"

namespace host::lines {

// DTR and RTS off and left to us: scan raises RTS around each request (as the driver does),
// sniff never raises it, so that the adapter only receives.
inline constexpr std::uint16_t kLineToolFlags = 0;

class DirectPort : core::NonCopyable {
public:
    DirectPort();
    // Closes the port if it is open.
    ~DirectPort();

    // Opens `name` (as the driver takes it) at `line` with a read time-out of `timeoutMs`
    // (rounded up to 10 ms). Whatever was open before is closed first. The serial layer's
    // result: Ok, NotOpened, StateUnreadable or SettingsRefused.
    [[nodiscard]] serial::SerialResult Open(const std::string& name, const LineParameters& line,
                                            std::int64_t timeoutMs);
    void Close();
    bool IsOpen() const;

    // The channel state the serial and protocol layers work on (its port and buffers).
    ChannelState& State() { return *state_; }

private:
    // Heap-held: the state is 552 bytes, and its buffers are what ReceiveFrame fills.
    std::unique_ptr<ChannelState> state_;
};

// "not opened", "settings unreadable", "settings refused", ... for a serial layer result.
const char* SerialResultText(serial::SerialResult result);

// True when `result` says the port itself would not open (at any line setting), not that it
// refused one setting.
bool PortUnusable(serial::SerialResult result);

// What an open that answered `result` says: why the port did not open ("/dev/ttyUSB0 did not
// open: no such device") when it is unusable, else "<port> <what the serial layer said>".
std::string OpenFailureText(const std::string& port, serial::SerialResult result);

}  // namespace host::lines
