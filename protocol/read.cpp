// The read operations: operation 6 with its eight attempts, operation 5 with one exchange.
#include <cstdint>
#include <cstring>

#include "protocol.h"
#include "vpi_families.h"

namespace protocol {

std::int32_t VpiRead(const VpiCall& call) {
    const GateCall io = GateCallOf(call);
    // Once per operation, not per attempt: bytes a later, shorter reply does not overwrite
    // keep what the earlier attempts of this operation received.
    std::memset(io.channel.receiveBuffer, '0', sizeof io.channel.receiveBuffer);
    // The family is looked up once; every attempt reads by it. A gate the routines would
    // refuse is refused once, without a round of empty attempts.
    const FamilyInfo* family = FamilyOf(io.gate.memtype);
    if (family == nullptr || family->read == ReadKind::None || !ReadableGate(io.gate)) {
        return VpiRefused;
    }
    // Failed attempts are repeated at once; each has logged its own failure, and only the
    // last attempt's result counts.
    std::int32_t result = VpiFailed;
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        result = ReadFamilyBlock(io, *family);
        if (result == VpiDone) break;
    }
    return result;
}

std::int32_t VpiReadEx(const VpiCall& call) {
    const GateCall io = GateCallOf(call);
    if (io.gate.memtype != MEMTYPE_EX) return VpiRefused;
    return ReadExBlock(io);
}

}  // namespace protocol
