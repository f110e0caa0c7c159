// The four read routines: one exchange with the meter each, the reply decoded into the
// gate's values, and the routine's own lines for what went wrong.
#include <array>
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

// The gate's value array as a span of `count` values (none for a count below 1; above 0,
// ReadableGate has made sure the array is there).
std::span<float> Values(const GateIoRecord& gate) {
    if (gate.count <= 0) return {};
    return {gate.values, static_cast<std::size_t>(gate.count)};
}

// Build, send, receive, verify. VpiDone when a verified frame is in receiveBuffer;
// otherwise the routine's result, with its message logged.
std::int32_t Exchange(const GateCall& io, const FamilyInfo& family, const Messages& messages) {
    ChannelState& channel = io.channel;
    // 0 only when the caller handed over a family that is not the gate's, or a gate that
    // ReadableGate refuses: the routines never do, and nothing goes on the line then.
    const std::uint8_t size = BuildReadRequest(io.gate, family, channel.requestBuffer);
    if (size == 0) return VpiRefused;
    // A request that did not go out shows as a missing reply.
    static_cast<void>(serial::Transmit(channel, channel.requestBuffer, size));
    const ExpectedReply expected{std::span<const std::uint8_t>(channel.requestBuffer, size), true};
    if (!ReceiveFrame(channel, channel.receiveBuffer, expected)) {
        hostlog::Log(hostlog::Severity::Meter, messages.noReply, io.vpiNumber, io.gate.plcAddress);
        return VpiFailed;
    }
    if (!VerifyFrameChecksum(channel.receiveBuffer)) {
        if (messages.checksumNamesMeter) {
            hostlog::Log(messages.checksumSeverity, messages.checksum, io.vpiNumber,
                         io.gate.plcAddress);
        } else {
            hostlog::Log(messages.checksumSeverity, messages.checksum);
        }
        return VpiRefused;
    }
    return VpiDone;
}

// The routine's result for what the decoder made of the reply; a field that did not convert
// is logged with its text.
std::int32_t Outcome(const GateCall& io, const Messages& messages, const Decoding& decoding) {
    switch (decoding.result) {
        case DecodeResult::Decoded:
            return VpiDone;
        case DecodeResult::NoData:
            return VpiRefused;
        case DecodeResult::Unconvertible:
            hostlog::Log(hostlog::Severity::Meter, messages.conversion, decoding.field.data(),
                         io.vpiNumber, io.gate.plcAddress);
            return VpiRefused;
    }
    return VpiRefused;
}

// The verified reply in `frame` decoded into the gate's values, one decoder per read kind.
using BlockDecoder = Decoding (*)(std::span<const std::uint8_t> frame, const GateIoRecord& gate);

Decoding NothingToDecode(std::span<const std::uint8_t>, const GateIoRecord&) {
    return {DecodeResult::NoData};
}
Decoding PlainValues(std::span<const std::uint8_t> frame, const GateIoRecord& gate) {
    return DecodePlainBlock(frame, Values(gate));
}
Decoding HValues(std::span<const std::uint8_t> frame, const GateIoRecord& gate) {
    return DecodeHBlock(frame, Values(gate));
}
Decoding TValues(std::span<const std::uint8_t> frame, const GateIoRecord& gate) {
    return DecodeTBlock(frame, gate.memtype, Values(gate));
}
Decoding ExValues(std::span<const std::uint8_t> frame, const GateIoRecord& gate) {
    return DecodeExBlock(frame, Values(gate));
}

// What each read kind reads with, in the order of ReadKind. Kinds that are not read never
// reach their slot.
struct BlockReader {
    const Messages& messages;
    BlockDecoder decode;
};

constexpr auto kBlockReaders = std::to_array<BlockReader>({
    {kDataMessages, NothingToDecode},
    {kDataMessages, PlainValues},
    {kHarmonicsMessages, HValues},
    {kDataMessages, TValues},
    {kDataMessages, ExValues},
});
static_assert(kBlockReaders.size() == static_cast<std::size_t>(ReadKind::Ex) + 1);

// The routine of one read kind: refuses, without sending, a gate of any other family and a
// gate ReadableGate refuses.
std::int32_t ReadKindBlock(const GateCall& io, ReadKind kind) {
    const FamilyInfo* family = FamilyOf(io.gate.memtype);
    if (family == nullptr || family->read != kind || !ReadableGate(io.gate)) return VpiRefused;
    return ReadFamilyBlock(io, *family);
}

}  // namespace

GateCall GateCallOf(const VpiCall& call) {
    return {*static_cast<ChannelState*>(call.channel),
            *static_cast<const GateIoRecord*>(call.argument), call.vpiNumber};
}

std::int32_t ReadFamilyBlock(const GateCall& io, const FamilyInfo& family) {
    if (family.read == ReadKind::None) return VpiRefused;
    const BlockReader& reader = kBlockReaders[static_cast<std::size_t>(family.read)];
    if (const std::int32_t result = Exchange(io, family, reader.messages); result != VpiDone) {
        return result;
    }
    const std::span<const std::uint8_t> reply(io.channel.receiveBuffer);
    return Outcome(io, reader.messages, reader.decode(reply, io.gate));
}

bool ReadableGate(const GateIoRecord& gate) {
    if (gate.plcAddress < 0 || gate.plcAddress > 99) return false;
    if (gate.count > 0 && gate.values == nullptr) return false;
    // Above 36 values no reply fits a frame; the request's count field holds two hex digits.
    if (gate.memtype == MEMTYPE_EX && (gate.count < 0 || gate.count > kMaxExCount)) return false;
    return true;
}

std::int32_t ReadPlainBlock(const GateCall& io) {
    return ReadKindBlock(io, ReadKind::Plain);
}

std::int32_t ReadHBlock(const GateCall& io) {
    return ReadKindBlock(io, ReadKind::H);
}

std::int32_t ReadTBlock(const GateCall& io) {
    return ReadKindBlock(io, ReadKind::T);
}

std::int32_t ReadExBlock(const GateCall& io) {
    return ReadKindBlock(io, ReadKind::Ex);
}

}  // namespace protocol
