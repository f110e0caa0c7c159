// What each serial back-end (Win32, POSIX, the test fake) provides to the shared line code.
// Each function is one platform call or the platform's nearest equivalent.
#pragma once

#include <cstdint>

#include "serial.h"

namespace serial::platform {

// OpenPort, ClosePort, OwnsPort and PortOf of serial.h are implemented by the back-end directly;
// the primitives below serve the algorithms that all back-ends share.

// A port's five time-outs in milliseconds, as Win32 keeps them; a back-end without the
// others keeps only the read total time-out and reports the rest as 0.
struct Timeouts {
    std::uint32_t readInterval;
    std::uint32_t readMultiplier;
    std::uint32_t readConstant;  // the read total time-out
    std::uint32_t writeMultiplier;
    std::uint32_t writeConstant;
};

// The port's time-outs. False when they cannot be read (no port, or no serial line).
[[nodiscard]] bool GetTimeouts(PortHandle handle, Timeouts* timeouts);

// Applies all five. False when the port refuses.
[[nodiscard]] bool SetTimeouts(PortHandle handle, const Timeouts& timeouts);

// One read of up to `count` bytes that waits at most the port's read time-out for all of
// them and returns what arrived. False when the call itself failed.
[[nodiscard]] bool ReadOnce(PortHandle handle, std::uint8_t* buffer, std::uint32_t count,
                            std::uint32_t* received);

// One blocking write of `count` bytes. False when the call itself failed.
[[nodiscard]] bool WriteOnce(PortHandle handle, const std::uint8_t* bytes, std::uint32_t count,
                             std::uint32_t* written);

// Clears the port's error condition and reports the bytes waiting in its input queue.
// False when the call failed (the count is then unknown).
[[nodiscard]] bool ClearErrors(PortHandle handle, std::uint32_t* bytesWaiting);

// Raises or drops RTS. False when the line refused.
[[nodiscard]] bool SetRts(PortHandle handle, bool on);

// Blocks the calling thread for `milliseconds`.
void SleepMs(std::uint32_t milliseconds);

// A monotonic clock in microseconds, for the budget of one receive.
[[nodiscard]] std::uint64_t NowUs();

}  // namespace serial::platform
