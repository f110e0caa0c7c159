// The request a write sends, built by the protocol layer's own builders, for --dry-run and
// for the JSON report of a write; and why the driver would refuse a write, for people.
#pragma once

#include <string>

#include "core/gate_prep.h"

namespace host::core {

// The frame the driver sends for a write of `gate` (CR LF included), or "" when the driver
// would refuse the write and send nothing.
std::string WriteRequest(Gate& gate);

// Why the driver refuses a write of `gate`.
std::string RefusalReason(const Gate& gate);

// `frame` with CR and LF shown as \r and \n.
std::string Escaped(const std::string& frame);

}  // namespace host::core
