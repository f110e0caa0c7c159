// Channel operations: open, flush, close, reopen and reconfigure a channel's port.
#include <cstddef>
#include <cstring>

#include "driver.h"
#include "host_log.h"
#include "serial.h"

namespace driver {

namespace {

// Channels always leave DTR off and drive RTS themselves around each request.
constexpr std::uint16_t kChannelLineFlags = 8;

// Port names are NUL-terminated within a 12-byte field: at most 11 characters.
constexpr std::size_t kPortNameField = sizeof(PortSettings::portName);
static_assert(kPortNameField == 12 && sizeof(OpenChannelRecord::portName) == kPortNameField);
static_assert(sizeof(ReconfigureRecord::portName) >= kPortNameField);

// The largest time-out, in units of 10 ms, whose milliseconds still fit 32 bits.
constexpr std::int32_t kMaxTimeoutUnits = static_cast<std::int32_t>(0xFFFFFFFFu / 10u);

ChannelState& Channel(const VpiCall& call) {
    return *static_cast<ChannelState*>(call.channel);
}

// True when `field` holds a NUL within its first `kPortNameField` bytes. Reads nothing past
// the NUL, nor past the field.
bool NameFits(const char* field) {
    return std::memchr(field, '\0', kPortNameField) != nullptr;
}

// Opens the port the settings name, for `channel` alone. The handle, or 0 when the port did
// not open (whatever the serial layer's reason).
serial::PortHandle OpenWithSettings(const PortSettings& settings, const ChannelState& channel) {
    serial::PortHandle handle = 0;
    if (serial::OpenPort(settings.portName, settings.line, settings.lineFlags, &handle, &channel) !=
        serial::SerialResult::Ok) {
        return 0;
    }
    return handle;
}

// Applies the channel's read time-out to its port, unless it is 0 or below: a total
// time-out of 0 waits without limit, and one dead meter would then hang the host's thread
// for good. The port then keeps the 1000 ms it was opened with.
void ApplyReadTimeout(const ChannelState& channel) {
    if (channel.readTimeout <= 0) return;
    const std::int32_t units =
        channel.readTimeout > kMaxTimeoutUnits ? kMaxTimeoutUnits : channel.readTimeout;
    static_cast<void>(serial::SetReadTimeout(channel.port, units));
}

// The channel's port, or 0 when it holds none that this channel opened. The host need not
// zero a fresh state area, so `port` may hold anything until the first open: a value the
// serial layer did not open (the host's own descriptor or handle, perhaps) is no port, and
// neither is the live port of another channel, which a stale or copied area can hold as well.
// Closing it would take that channel's line away; reading or writing it would put this
// channel's requests on that line and report its meters' values as this channel's. Neither
// is ever closed, read or written from here.
serial::PortHandle OwnPort(const ChannelState& channel) {
    return serial::PortOf(channel);
}

// Closes the channel's port, if it has one: 0, or 2 with nothing changed when the system
// refuses. Settings and time-out stay, for a later reopen. A value that is no port of this
// channel's is forgotten as if it had been closed: the channel is then closed, with `active`
// 0, rather than left holding no port while it claims one.
std::int32_t CloseChannel(ChannelState& channel) {
    if (OwnPort(channel) == 0) {
        if (channel.port != 0) channel.active = 0;
        channel.port = 0;
        return VpiDone;
    }
    if (serial::ClosePort(channel.port) != serial::SerialResult::Ok) return VpiFailed;
    channel.port = 0;
    channel.active = 0;
    return VpiDone;
}

}  // namespace

std::int32_t VpiOpen(const VpiCall& call) {
    ChannelState& channel = Channel(call);
    const auto& record = *static_cast<const OpenChannelRecord*>(call.argument);
    channel.active = record.active;
    if (record.active == 0) return VpiDone;

    PortSettings settings{};
    // A name that runs on past its field is refused; the open-failure line shows what the
    // field holds, and nothing beyond it is ever read.
    char shown[kPortNameField];
    std::memcpy(shown, record.portName, kPortNameField - 1);
    shown[kPortNameField - 1] = '\0';
    serial::PortHandle handle = 0;
    if (NameFits(record.portName)) {
        std::memcpy(settings.portName, record.portName, kPortNameField);
        settings.line = record.line;
        settings.lineFlags = kChannelLineFlags;
        // An open port is closed first: the channel holds one handle, and a second open of
        // the same exclusive port could never succeed anyway.
        if (OwnPort(channel) != 0 && CloseChannel(channel) == VpiDone) {
            channel.active = record.active;
        }
        if (OwnPort(channel) == 0) handle = OpenWithSettings(settings, channel);
    }
    if (handle == 0) {
        hostlog::Log(hostlog::Severity::Line, "VPI%s : Fail to open %s", kShortName,
                     static_cast<const char*>(shown));
        return VpiFailed;
    }

    channel.port = handle;
    // Until now the port has the 1000 ms the open gave it.
    channel.settings = settings;
    channel.readTimeout = record.readTimeout;
    ApplyReadTimeout(channel);
    return VpiDone;
}

std::int32_t VpiFlush(const VpiCall& call) {
    const ChannelState& channel = Channel(call);
    const serial::PortHandle port = OwnPort(channel);
    if (port != 0) static_cast<void>(serial::PurgeInput(port));
    return VpiDone;
}

std::int32_t VpiClose(const VpiCall& call) {
    return CloseChannel(Channel(call));
}

std::int32_t VpiReopenPort(const VpiCall& call) {
    ChannelState& channel = Channel(call);
    // The stored name came through open or reconfigure, but the area is the host's: a name
    // without its NUL is no name.
    if (!NameFits(channel.settings.portName)) return VpiFailed;
    // A port this channel holds cannot be opened again: exclusive use refuses it. Refusing
    // here also keeps the null device, which opens any number of times, from losing its
    // first handle.
    if (OwnPort(channel) != 0) return VpiFailed;
    const serial::PortHandle handle = OpenWithSettings(channel.settings, channel);
    if (handle == 0) return VpiFailed;
    // The port keeps the 1000 ms of its open: reopen does not apply readTimeout.
    channel.active = 1;
    channel.port = handle;
    return VpiDone;
}

std::int32_t VpiReconfigure(const VpiCall& call) {
    ChannelState& channel = Channel(call);
    const auto& record = *static_cast<const ReconfigureRecord*>(call.argument);
    // Only the first 12 of the field's 16 bytes are a name.
    if (!NameFits(record.portName)) return VpiFailed;

    const bool sameName = NameFits(channel.settings.portName) &&
                          std::strcmp(record.portName, channel.settings.portName) == 0;
    if (!sameName && OwnPort(channel) != 0) static_cast<void>(CloseChannel(channel));

    std::memcpy(channel.settings.portName, record.portName, kPortNameField);
    if (record.line.baudRate != 0) channel.settings.line = record.line;

    // Same name while open: the port is this channel's already, so a second open would be
    // refused (or, for the null device, would lose the first handle). The new settings stay
    // stored for the next reopen.
    if (OwnPort(channel) != 0) return VpiFailed;
    const serial::PortHandle handle = OpenWithSettings(channel.settings, channel);
    if (handle == 0) return VpiFailed;
    channel.port = handle;
    channel.active = 1;
    ApplyReadTimeout(channel);
    return VpiDone;
}

}  // namespace driver
