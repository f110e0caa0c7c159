// The meters' protocol: frames and checksum, read requests, reply decoding, and the read
// and write operations.
#pragma once

#include <cstdint>

#include "vpi_records.h"

namespace protocol {

// Operation 5: one exchange for an EX gate; 1 for any other memory type.
std::int32_t VpiReadEx(const VpiCall& call);

// Operation 6: reads a gate of any readable family, up to eight attempts.
std::int32_t VpiRead(const VpiCall& call);

// Operation 7: writes an index-zero command gate or an EX gate of group 10.
std::int32_t VpiWrite(const VpiCall& call);

}  // namespace protocol
