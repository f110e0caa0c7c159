// Channel operations: open, flush, close, reopen and reconfigure a channel's port.
// Not written yet: every operation fails.
#include "driver.h"

namespace driver {

std::int32_t VpiOpen(const VpiCall&) { return VpiFailed; }
std::int32_t VpiFlush(const VpiCall&) { return VpiDone; }
std::int32_t VpiClose(const VpiCall&) { return VpiFailed; }
std::int32_t VpiReopenPort(const VpiCall&) { return VpiFailed; }
std::int32_t VpiReconfigure(const VpiCall&) { return VpiFailed; }

}  // namespace driver
