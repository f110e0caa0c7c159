// Gate preparation: a gate argument split, parsed (operation 3) and checked (operation 4) by
// the driver into a gate ready for reading or writing. Says nothing itself; what went wrong
// comes back with the driver's own lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/loaded_driver.h"
#include "core/log_lines.h"
#include "vpi_records.h"

namespace host::core {

// A gate ready for operations 5, 6 and 7: what the driver's parse gave and the value array.
struct Gate {
    std::string address;
    std::int32_t plcAddress = 0;
    std::int32_t memtype = 0;
    std::int32_t index = 0;
    std::vector<float> values;

    // The record for one call; it points into `values`, so build it right before the call.
    GateIoRecord Record();
};

// The most characters of a gate address.
inline constexpr std::size_t kMaxAddressLength = 10;

// How many values a gate of `memtype` carries in one read (the family's element count); 0 for
// EX gates, index-zero gates and codes of no family.
int RequiredCount(std::int32_t memtype);

// Splits "ADDRESS[:COUNT]". False (with `error` set) for a count that is not a number.
bool SplitGateArgument(const std::string& gateText, std::string* address, std::optional<int>* count,
                       std::string* error);

// Why a gate is not ready.
enum class GateProblem {
    None,
    BadCount,      // the count after ':' is not a number (usage)
    TooLong,       // the address is longer than kMaxAddressLength
    ParseRefused,  // operation 3 refused the address
    CommandGate,   // an index-zero gate, which is written and never read
    ExNeedsCount,  // an EX gate to read without a count (usage)
    CheckRefused,  // operation 4 refused the definition
    ExCountRange,  // an EX read of no registers or of more than one reply carries (usage)
};

// A gate argument after preparation.
struct PreparedGate {
    GateProblem problem = GateProblem::None;
    std::string text;     // as typed, count included
    std::string address;  // without the count
    std::int32_t count = 0;
    std::string error;           // BadCount: what is wrong with the argument
    GateAddressRecord record{};  // what the driver's last call left (addressText cleared)
    std::vector<LogLine> lines;  // the driver's lines of that call
    Gate gate;                   // ready when problem is None
};

// Parses and checks a gate for reading, the count defaulting to the family's.
PreparedGate PrepareReadGate(LoadedDriver& driver, const std::string& gateText);

// Parses a gate for writing `count` values.
PreparedGate PrepareWriteGate(LoadedDriver& driver, const std::string& address, int count);

}  // namespace host::core
