// The request a write sends, built by the protocol layer's own builders, for --dry-run and
// for the JSON report of a write; and why the driver would refuse a write, for people.
#pragma once

#include <cstdint>
#include <string>

#include "core/gate_prep.h"

namespace host::core {

// The frame the driver sends for a write of `gate` (CR LF included), or "" when the driver
// would refuse the write and send nothing.
std::string WriteRequest(Gate& gate);

// Why the driver refuses a write of `gate`.
std::string RefusalReason(const Gate& gate);

// What an EX register gets from a write of `typed` (the number as the user wrote it). The
// register holds a signed 32-bit integer; the driver takes a 32-bit float and sends it
// truncated toward zero, its low 32 bits kept, 0 for NaN (hosts rely on that conversion, so it
// stays). `problem` says why the register would not hold `typed` as written: not a number,
// infinite, outside the signed 32-bit range, a fraction, or a whole number the float cannot
// carry exactly; "" when it holds it.
struct ExValueCheck {
    std::int32_t sent = 0;
    std::string problem;
};
ExValueCheck CheckExValue(double typed);

// `frame` with CR and LF shown as \r and \n.
std::string Escaped(const std::string& frame);

}  // namespace host::core
