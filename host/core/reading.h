// One read of one gate through the driver (operation 6, or 5 for EX gates), timed, with its
// attempts counted from the driver's log lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/driver_channel.h"
#include "core/gate_prep.h"
#include "core/loaded_driver.h"
#include "core/log_lines.h"

namespace host::core {

// One read of one gate.
struct Reading {
    std::string time;  // RFC 3339, UTC, milliseconds
    std::string gate;  // the address as typed
    std::int32_t plcAddress = 0;
    std::int32_t memtype = 0;
    std::int32_t index = 0;
    std::int32_t result = 0;  // the driver's 0, 1 or 2
    std::vector<float> values;
    int attempts = 0;
    double latencyMs = 0;
};

// Reads `gate` once through operation 6 (operation 5 with `ex`) on `channel` and times it.
// Attempts: a success took one more than the failed-attempt lines it logged; a failure took
// the driver's whole budget (all of operation 6's attempts, the one of operation 5). `tally`
// gets the lines.
Reading ReadGate(LoadedDriver& driver, Channel& channel, Gate& gate, bool ex, LogTally* tally);

}  // namespace host::core
