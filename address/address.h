// Gate addressing: parse a ten-character gate address (operation 3) and check a gate
// definition against its memory type (operation 4).
#pragma once

#include <cstdint>

#include "vpi_records.h"

namespace address {

// Operation 3: decodes the GateAddressRecord's text into PLC address, memory type and index.
std::int32_t VpiParseAddress(const VpiCall& call);

// Operation 4: parses as operation 3 without the value-type check, then checks the index
// and the element count that the memory type requires.
std::int32_t VpiCheckGate(const VpiCall& call);

}  // namespace address
