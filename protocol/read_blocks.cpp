// The four read routines: one exchange with the meter each, the reply decoded into the
// gate's values, and the routine's own lines for what went wrong.
#include <cstddef>
#include <cstdint>
#include <span>

#include "host_log.h"
#include "protocol.h"
#include "serial.h"
#include "vpi_families.h"

namespace protocol {

namespace {

// The lines a routine writes. Harmonics (H) gates have texts of their own, and their
// checksum failure is a meter fault (8) without numbers rather than a line fault (32).
struct Messages {
    const char* noReply;
    const char* checksum;
    hostlog::Severity checksumSeverity;
    bool checksumNamesMeter;
    const char* conversion;
};

constexpr Messages kDataMessages{
    "Xerbo : Fail to recv response to read data (Vpi # %d,PLC # %d)",
    "Xerbo : Check Sum fails (Vpi # %d,PLC # %d)",
    hostlog::Severity::Line,
    true,
    "Xerbo : Fail to convert %s to float (Vpi # %d,PLC # %d)",
};

constexpr Messages kHarmonicsMessages{
    "Xerbo : Fail to recv response to read Hermony (Vpi # %d,PLC # %d)",
    "Xerbo : Hermony read - Check Sum fails",
    hostlog::Severity::Meter,
    false,
    "Xerbo : Fail to convert %s to float(Vpi#%d,PLC#%d)",
};

const GateIoRecord& Gate(const VpiCall& call) {
    return *static_cast<const GateIoRecord*>(call.argument);
}
ChannelState& Channel(const VpiCall& call) {
    return *static_cast<ChannelState*>(call.channel);
}

// The gate's value array as a span of `count` values (none for a count below 1; above 0,
// ReadableGate has made sure the array is there).
std::span<float> Values(const GateIoRecord& gate) {
    if (gate.count <= 0) return {};
    return {gate.values, static_cast<std::size_t>(gate.count)};
}

// Build, send, receive, verify. VpiDone when a verified frame is in receiveBuffer;
// otherwise the routine's result, with its message logged.
std::int32_t Exchange(const VpiCall& call, const Messages& messages) {
    ChannelState& channel = Channel(call);
    const GateIoRecord& gate = Gate(call);
    // Never 0 here: the routines call this only for a gate of their family that ReadableGate
    // accepts, and those are the gates the builder builds.
    const std::uint8_t size = BuildReadRequest(call, channel.requestBuffer);
    // A request that did not go out shows as a missing reply.
    static_cast<void>(serial::Transmit(channel, channel.requestBuffer, size));
    const ExpectedReply expected{std::span<const std::uint8_t>(channel.requestBuffer, size), true};
    if (!ReceiveFrame(channel, channel.receiveBuffer, expected)) {
        hostlog::Log(hostlog::Severity::Meter, messages.noReply, call.vpiNumber, gate.plcAddress);
        return VpiFailed;
    }
    if (!VerifyFrameChecksum(channel.receiveBuffer)) {
        if (messages.checksumNamesMeter) {
            hostlog::Log(messages.checksumSeverity, messages.checksum, call.vpiNumber,
                         gate.plcAddress);
        } else {
            hostlog::Log(messages.checksumSeverity, messages.checksum);
        }
        return VpiRefused;
    }
    return VpiDone;
}

// The routine's result for what the decoder made of the reply; a field that did not convert
// is logged with its text.
std::int32_t Outcome(const VpiCall& call, const Messages& messages, const Decoding& decoding) {
    switch (decoding.result) {
        case DecodeResult::Decoded:
            return VpiDone;
        case DecodeResult::NoData:
            return VpiRefused;
        case DecodeResult::Unconvertible:
            hostlog::Log(hostlog::Severity::Meter, messages.conversion, decoding.field.data(),
                         call.vpiNumber, Gate(call).plcAddress);
            return VpiRefused;
    }
    return VpiRefused;
}

bool OfFamily(const GateIoRecord& gate, ReadKind kind) {
    const FamilyInfo* info = FamilyOf(gate.memtype);
    return info != nullptr && info->read == kind && ReadableGate(gate);
}

// The verified reply in receiveBuffer decoded by the family's decoder.
Decoding Decode(const VpiCall& call, ReadKind kind) {
    const GateIoRecord& gate = Gate(call);
    const std::span<const std::uint8_t> frame = Channel(call).receiveBuffer;
    switch (kind) {
        case ReadKind::Plain:
            return DecodePlainBlock(frame, Values(gate));
        case ReadKind::H:
            return DecodeHBlock(frame, Values(gate));
        case ReadKind::T:
            return DecodeTBlock(frame, gate.memtype, Values(gate));
        default:
            return DecodeExBlock(frame, Values(gate));
    }
}

// One exchange for a gate of the family `kind` names, and its values decoded.
std::int32_t ReadBlock(const VpiCall& call, ReadKind kind, const Messages& messages) {
    if (!OfFamily(Gate(call), kind)) return VpiRefused;
    if (const std::int32_t result = Exchange(call, messages); result != VpiDone) return result;
    return Outcome(call, messages, Decode(call, kind));
}

}  // namespace

bool ReadableGate(const GateIoRecord& gate) {
    if (gate.plcAddress < 0 || gate.plcAddress > 99) return false;
    if (gate.count > 0 && gate.values == nullptr) return false;
    // Above 36 values no reply fits a frame; the request's count field holds two hex digits.
    if (gate.memtype == MEMTYPE_EX && (gate.count < 0 || gate.count > kMaxExCount)) return false;
    return true;
}

std::int32_t ReadPlainBlock(const VpiCall& call) {
    return ReadBlock(call, ReadKind::Plain, kDataMessages);
}

std::int32_t ReadHBlock(const VpiCall& call) {
    return ReadBlock(call, ReadKind::H, kHarmonicsMessages);
}

std::int32_t ReadTBlock(const VpiCall& call) {
    return ReadBlock(call, ReadKind::T, kDataMessages);
}

std::int32_t ReadExBlock(const VpiCall& call) {
    return ReadBlock(call, ReadKind::Ex, kDataMessages);
}

}  // namespace protocol
