// The write operation: index-zero command gates and EX gates of group 10, up to eight
// attempts, no messages of its own.
#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol.h"
#include "serial.h"

namespace protocol {

std::int32_t VpiWrite(const VpiCall& call) {
    auto& channel = *static_cast<ChannelState*>(call.channel);
    const auto& gate = *static_cast<const GateIoRecord*>(call.argument);

    // An EX write carrying values does not fit requestBuffer, so it is built here instead;
    // requestBuffer then keeps the last request that was built in it.
    std::array<std::uint8_t, kExWriteCapacity> exRequest{};
    const std::uint8_t* request = nullptr;
    std::size_t size = 0;
    if (gate.memtype == MEMTYPE_INDEX_ZERO) {
        // The command takes the first value; a gate without one has nothing to send.
        if (gate.values == nullptr || gate.count < 1) return VpiRefused;
        const float value = gate.values[0];
        // The negated test also turns away a value that is not a number.
        if (value > 2.0f || !(value >= 1.0f)) return VpiRefused;
        size = BuildCommandRequest(call, value, channel.requestBuffer);
        request = channel.requestBuffer;
    } else if (gate.memtype == MEMTYPE_EX) {
        if (((gate.index >> 8) & 0xFF) != kWritableExGroup) return VpiRefused;
        // Refused before anything is built: a negative count cannot be encoded, and above 36
        // values the frame passes 300 counted bytes and has no checksum.
        if (gate.count < 0 || gate.count > kMaxExCount) return VpiRefused;
        size = BuildExWriteRequest(call, exRequest);
        request = exRequest.data();
    } else {
        return VpiRefused;
    }
    if (size == 0) return VpiRefused;  // a PLC address outside 0 to 99, or values missing

    // Any verified frame from the addressed meter is its acknowledgement: only the address
    // is compared, since a meter may answer a write in a form of its own. A meter answers a
    // command, and an EX write without values, with the request's very bytes, so a double of
    // those may be the answer; an EX write that carries values is answered with a frame of
    // the meter's own (group and item), and a double of it is only ever the line's echo.
    const bool doubleMayAnswer = gate.memtype == MEMTYPE_INDEX_ZERO || gate.count == 0;
    const ExpectedReply expected{std::span<const std::uint8_t>(request, size), false,
                                 doubleMayAnswer};
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        static_cast<void>(serial::Transmit(channel, request, static_cast<std::uint32_t>(size)));
        if (ReceiveFrame(channel, channel.receiveBuffer, expected) &&
            VerifyFrameChecksum(channel.receiveBuffer)) {
            return VpiDone;
        }
    }
    return VpiFailed;
}

}  // namespace protocol
