// The serial line: open and configure a port, read time-outs, input purge, RTS-framed
// transmission and exact-count reception. Holds no state; handles live in ChannelState.
#pragma once

#include <cstdint>

#include "vpi_records.h"

namespace serial {

// The layer's own result codes; they never reach the host.
enum class SerialResult : std::int32_t {
    Ok = 0,
    NotOpened = 1,        // the port did not open, or its time-outs were refused
    ShortWrite = 2,       // fewer bytes were written than asked
    StateUnreadable = 4,  // the port's current settings were not readable
    SettingsRefused = 5,  // the new settings were refused
    IoFailed = 7,         // a read, write or close failed, or a read returned no byte
};

// 32 bits on every platform: a Win32 HANDLE, or a POSIX descriptor. 0 means no port.
using PortHandle = std::uint32_t;

// Handshake bits of lineFlags that OpenPort looks at.
inline constexpr std::uint16_t kDtrOnBits = 0x0101;
inline constexpr std::uint16_t kDtrHandshakeBit = 0x8000;
inline constexpr std::uint16_t kRtsOnBits = 0x0202;
inline constexpr std::uint16_t kRtsHandshakeBit = 0x1000;
inline constexpr std::uint16_t kRtsToggleBit = 0x2000;

inline constexpr std::int32_t kOpenReadTimeoutMs = 1000;  // until SetReadTimeout says otherwise
inline constexpr std::uint32_t kQueueSize = 1200;         // input and output queues
inline constexpr std::uint32_t kRtsLeadMs = 10;           // RTS on to first byte
inline constexpr std::uint32_t kRtsTailMs = 12;           // last byte to RTS off

// Opens `portName` for exclusive use and configures it from `line` and `lineFlags`, for the
// channel `owner`: only that channel's operations will act on the handle (see PortOf).
// "NUL" opens the null device and configures nothing. Results: Ok (handle valid),
// NotOpened, StateUnreadable, SettingsRefused; a failed open leaves no port open.
[[nodiscard]] SerialResult OpenPort(const char* portName, const LineParameters& line,
                                    std::uint16_t lineFlags, PortHandle* handle,
                                    const ChannelState* owner);

// The same for a caller that keeps the handle in a state area of its own making (the line
// tools, the test benches): any ChannelState holding it may use it. The module's channel
// operations never open a port this way.
[[nodiscard]] inline SerialResult OpenPort(const char* portName, const LineParameters& line,
                                           std::uint16_t lineFlags, PortHandle* handle) {
    return OpenPort(portName, line, lineFlags, handle, nullptr);
}

// Closes the port: Ok, or IoFailed when the system refuses. A refused close leaves the port
// as it was, still belonging to whom it belonged.
[[nodiscard]] SerialResult ClosePort(PortHandle handle);

// True when `handle` is a port this layer opened and has not closed since. The layer acts
// only on such ports: on any other value every operation fails as on a closed port, without
// a system call on it. The host's state area may hold anything before its first open (a
// descriptor or handle of the host's own among it), and that must never be closed, read or
// written.
[[nodiscard]] bool OwnsPort(PortHandle handle);

// The channel's port when this very channel opened it and it is open still, else 0. Every
// channel operation and every exchange goes through this, never through `channel.port` alone:
// a state area the host did not zero may hold the live handle of another channel, and acting
// on it would read another line's meters into this channel's gates, or close that channel's
// port under it. The handle must also still name what was opened (POSIX: the device and inode
// as at the open; Win32: the same kind of object), so a handle closed behind the module's back
// and handed out again for another file is no port either, and is forgotten. Logs nothing.
[[nodiscard]] PortHandle PortOf(const ChannelState& channel);

// Sets the read total time-out to `units` × 10 ms. Returns the previous time-out in units of
// 10 ms (rounded down), or 0 on failure. Makes no change when the value is already in force.
std::int32_t SetReadTimeout(PortHandle handle, std::int32_t units);

// Throws away whatever waits in the input: 512-byte reads with a 50 ms time-out until one
// comes back short. Ok, or NotOpened when its last read failed (callers ignore it).
SerialResult PurgeInput(PortHandle handle);

// Writes `count` bytes. Ok, ShortWrite (with the real count stored) or IoFailed.
[[nodiscard]] SerialResult WritePort(PortHandle handle, const std::uint8_t* bytes,
                                     std::uint32_t count, std::uint32_t* written);

// Reads exactly `count` bytes, each underlying read waiting at most the read time-out.
// Ok, or IoFailed when a read fails or returns nothing (also for a count of 0); bytes that
// arrived before a failure stay in the buffer and are counted in `received`.
[[nodiscard]] SerialResult ReadPort(PortHandle handle, std::uint8_t* buffer, std::uint32_t count,
                                    std::uint32_t* received);

// The time one receive may wait for frames to begin: the port's read time-out, counted from
// the moment it is taken. Unbounded when the port keeps no time-out (the null device, or a
// time-out of 0, which waits without limit).
struct ReadBudget {
    std::uint64_t endUs = 0;
    bool bounded = false;
};
[[nodiscard]] ReadBudget StartReadBudget(PortHandle handle);

// Reads exactly `count` bytes as ReadPort does, except that the first byte is waited for only
// until the budget ends (bytes that are waiting already are taken even when it has). What
// follows a first byte that came in time is read with the port's own time-out.
[[nodiscard]] SerialResult ReadPortWithin(PortHandle handle, std::uint8_t* buffer,
                                          std::uint32_t count, std::uint32_t* received,
                                          const ReadBudget& budget);

// RTS on, then 10 ms. Logs " Xerbo: Fail to set RTS to on" (32) when the line refuses.
void RaiseRts(PortHandle handle);

// 12 ms, then RTS off. Logs " Xerbo: Fail to set RTS to off" (32) when the line refuses.
void DropRts(PortHandle handle);

// Sends one request the way every request goes out: purge the input, RTS on, 10 ms, write,
// 12 ms, RTS off, on the channel's own port (PortOf). True when every byte was written.
[[nodiscard]] bool Transmit(ChannelState& channel, const std::uint8_t* bytes, std::uint32_t count);

}  // namespace serial
