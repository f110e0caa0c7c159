// The read operations: operation 6 with its eight attempts, operation 5 with one exchange.
#include <cstdint>
#include <cstring>

#include "protocol.h"
#include "vpi_families.h"

namespace protocol {

namespace {

using ReadRoutine = std::int32_t (*)(const VpiCall&);

// The routine that serves a memory type; nullptr for index-zero gates (written, never read)
// and codes no family has.
ReadRoutine RoutineFor(std::int32_t memtype) {
    const FamilyInfo* info = FamilyOf(memtype);
    if (info == nullptr) return nullptr;
    switch (info->read) {
        case ReadKind::Plain:
            return ReadPlainBlock;
        case ReadKind::H:
            return ReadHBlock;
        case ReadKind::T:
            return ReadTBlock;
        case ReadKind::Ex:
            return ReadExBlock;
        case ReadKind::None:
            break;
    }
    return nullptr;
}

}  // namespace

std::int32_t VpiRead(const VpiCall& call) {
    auto& channel = *static_cast<ChannelState*>(call.channel);
    const auto& gate = *static_cast<const GateIoRecord*>(call.argument);
    // Once per operation, not per attempt: bytes a later, shorter reply does not overwrite
    // keep what the earlier attempts of this operation received.
    std::memset(channel.receiveBuffer, '0', sizeof channel.receiveBuffer);
    const ReadRoutine routine = RoutineFor(gate.memtype);
    // A gate the routines would refuse is refused once, without a round of empty attempts.
    if (routine == nullptr || !ReadableGate(gate)) return VpiRefused;
    // Failed attempts are repeated at once; each routine has logged its own failure, and
    // only the last attempt's result counts.
    std::int32_t result = VpiFailed;
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        result = routine(call);
        if (result == VpiDone) break;
    }
    return result;
}

std::int32_t VpiReadEx(const VpiCall& call) {
    const auto& gate = *static_cast<const GateIoRecord*>(call.argument);
    if (gate.memtype != MEMTYPE_EX) return VpiRefused;
    return ReadExBlock(call);
}

}  // namespace protocol
