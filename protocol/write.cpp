// The write operation: index-zero command gates and EX gates of group 10, up to eight
// attempts, no messages of its own.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol.h"
#include "serial.h"

namespace protocol {

namespace {

// Builds the write request of `gate`: into requestBuffer for a command, into `exRequest`
// for an EX write (one carrying values does not fit requestBuffer, which then keeps the last
// request that was built in it). The request to send; empty when the gate is refused.
std::span<const std::uint8_t> BuildWrite(const GateIoRecord& gate, ChannelState& channel,
                                         std::span<std::uint8_t> exRequest) {
    std::size_t size = 0;
    if (gate.memtype == MEMTYPE_INDEX_ZERO) {
        // The command takes the first value; a gate without one has nothing to send.
        if (gate.values == nullptr || gate.count < 1) return {};
        const float value = gate.values[0];
        // The negated test also turns away a value that is not a number.
        if (value > 2.0f || !(value >= 1.0f)) return {};
        size = BuildCommandRequest(gate, value, channel.requestBuffer);
        return {channel.requestBuffer, size};
    }
    if (gate.memtype == MEMTYPE_EX) {
        if (((gate.index >> 8) & 0xFF) != kWritableExGroup) return {};
        // Refused before anything is built: a negative count cannot be encoded, and above 36
        // values the frame passes 300 counted bytes and has no checksum.
        if (gate.count < 0 || gate.count > kMaxExCount) return {};
        size = BuildExWriteRequest(gate, exRequest);
        return exRequest.first(size);
    }
    return {};
}

}  // namespace

std::int32_t VpiWrite(const VpiCall& call) {
    const GateCall io = GateCallOf(call);
    std::array<std::uint8_t, kExWriteCapacity> exRequest{};
    const std::span<const std::uint8_t> request = BuildWrite(io.gate, io.channel, exRequest);
    // Nothing built: a gate that is not written, or a PLC address outside 0 to 99, or values
    // missing.
    if (request.empty()) return VpiRefused;

    // Any verified frame from the addressed meter is its acknowledgement: only the address
    // is compared, since a meter may answer a write in a form of its own. A meter answers a
    // command, and an EX write without values, with the request's very bytes, so a double of
    // those may be the answer; an EX write that carries values is answered with a frame of
    // the meter's own (group and item), and a double of it is only ever the line's echo.
    const bool doubleMayAnswer = io.gate.memtype == MEMTYPE_INDEX_ZERO || io.gate.count == 0;
    const ExpectedReply expected{request, false, doubleMayAnswer};
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        static_cast<void>(serial::Transmit(io.channel, request.data(),
                                           static_cast<std::uint32_t>(request.size())));
        if (ReceiveFrame(io.channel, io.channel.receiveBuffer, expected) &&
            VerifyFrameChecksum(io.channel.receiveBuffer)) {
            return VpiDone;
        }
    }
    return VpiFailed;
}

}  // namespace protocol
