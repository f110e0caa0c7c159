// The driver's one way to the host's log: every line goes out through err() of the
// host's logging library, with one of three severities.
#pragma once

#include <cstdint>

#include "tamrik.h"

namespace hostlog {

// The classes of failure the host's log distinguishes.
enum class Severity : std::int32_t {
    Gate = 0,   // gate address and gate definition errors
    Meter = 8,  // no reply or an unusable reply from a meter
    Line = 32,  // RTS control, checksums of data replies, opening a port
};

// Writes one line; `format` takes only %s and %d conversions, with matching arguments.
template <typename... Args>
inline void Log(Severity severity, const char* format, Args... args) {
    static_assert(((sizeof(Args) <= sizeof(void*)) && ...), "only %s and %d arguments");
    err(static_cast<int>(severity), format, args...);
}

}  // namespace hostlog
