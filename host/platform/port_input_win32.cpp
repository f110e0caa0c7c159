// Dropping a port's queued input on Windows: PurgeComm.
#include "platform/port_input.h"

#include <windows.h>

#include <cstdint>

namespace host::platform {

bool DiscardPortInput(std::uint32_t handle) {
    // PurgeComm: non-zero is success. The handle travels as 32 bits, as the serial layer
    // keeps it.
    const auto port = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle));
    return PurgeComm(port, PURGE_RXCLEAR | PURGE_RXABORT) != 0;
}

}  // namespace host::platform
