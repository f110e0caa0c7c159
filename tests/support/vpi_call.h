// Calling VpiMain as a host does: by operation name, with the channel's state area, the
// argument record and the Vpi number the driver's lines carry.
#pragma once

#include <cstdint>

#include "vpi_records.h"

namespace vpitest {

// A call with a code that may name no operation at all (0, 8, 9, or out of range).
inline std::int32_t CallCode(std::int32_t code, void* channel, void* argument,
                             std::int32_t vpiNumber = 1) {
    VpiCall call{channel, code, vpiNumber, 0, argument};
    return VpiMain(&call);
}

inline std::int32_t Call(VpiOperation operation, void* channel, void* argument = nullptr,
                         std::int32_t vpiNumber = 1) {
    return CallCode(static_cast<std::int32_t>(operation), channel, argument, vpiNumber);
}

}  // namespace vpitest
