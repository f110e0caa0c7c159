// The driver's operations behind VpiMain: information, query and the channel operations.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vpi_records.h"

namespace driver {

// Operation 14: writes the seven DriverInfo fields (exactly its bytes), returns VpiDone.
std::int32_t VpiInfo(const VpiCall& call);

// Operation 10: always VpiRefused, reads nothing.
std::int32_t VpiQuery(const VpiCall& call);

// Channel operations on the call's ChannelState. Open and Reconfigure read the argument.
std::int32_t VpiOpen(const VpiCall& call);         // 1: 0 or 2
std::int32_t VpiFlush(const VpiCall& call);        // 2: always 0
std::int32_t VpiClose(const VpiCall& call);        // 11 and 12: 0 or 2
std::int32_t VpiReopenPort(const VpiCall& call);   // 13: 0 or 2
std::int32_t VpiReconfigure(const VpiCall& call);  // 15: 0 or 2

// The short name, which the open-failure line prints too.
extern const char kShortName[];

// The banner's length before its NUL (code page 437 text).
inline constexpr std::size_t kBannerLength = 379;

}  // namespace driver
