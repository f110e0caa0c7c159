// The read operations: operation 6 with its eight attempts, operation 5 with one exchange.
#include <cstdint>
#include <cstring>

#include "protocol.h"

namespace protocol {

namespace {

using ReadRoutine = std::int32_t (*)(const VpiCall&);

// The routine that serves a memory type; nullptr for index-zero gates (written, never read)
// and codes no family has.
ReadRoutine RoutineFor(std::int32_t memtype) {
    if (memtype == MEMTYPE_PLAIN) return ReadPlainBlock;
    if (memtype >= MEMTYPE_H1 && memtype <= MEMTYPE_H6) return ReadHBlock;
    if ((memtype >= MEMTYPE_TR1 && memtype <= MEMTYPE_TK3) ||
        (memtype >= MEMTYPE_TY1 && memtype <= MEMTYPE_TY2) ||
        (memtype >= MEMTYPE_TD1 && memtype <= MEMTYPE_TD16) ||
        (memtype >= MEMTYPE_TC1 && memtype <= MEMTYPE_TC24)) {
        return ReadTBlock;
    }
    if (memtype == MEMTYPE_EX) return ReadExBlock;
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
