// The serial line's settings on a command line: baud rate, data bits, parity and stop bits as
// vpihost's commands and metersim take them, with one set of names, ranges and messages.
#pragma once

#include <CLI/CLI.hpp>
#include <array>
#include <optional>
#include <string>

namespace host::options {

// A whole decimal number and nothing else ("19200"; not "", "19200bd" or "+5"), or nullopt.
std::optional<long> WholeNumber(const std::string& text);

// The rates a line can be given. The driver's line record holds the rate in 16 bits, so
// 65535 is the most it can ask of a port (115200, common on adapters, cannot be set).
inline constexpr long kMinBaud = 50;
inline constexpr long kMaxBaud = 65535;

// Parity and stop-bit names in the order of the line record's codes.
inline constexpr auto kParityNames =
    std::to_array<const char*>({"none", "odd", "even", "mark", "space"});
inline constexpr auto kStopNames = std::to_array<const char*>({"1", "1.5", "2"});
static_assert(kParityNames.size() == 5 && kStopNames.size() == 3);

// The code of a parity name ("none", "EVEN", or the first letter, "E"), any case; -1 for
// anything else.
int ParityCode(const std::string& text);
// The code of a stop-bit count ("1", "1.5", "2"); -1 for anything else.
int StopBitsCode(const std::string& text);

// Checks of one value each, for CLI11 options; each message says what was wrong and what the
// option takes. Parity rewrites the value to its lower-case name.
CLI::Validator BaudRate();
CLI::Validator DataBits();
CLI::Validator Parity();
CLI::Validator StopBits();

// A comma-separated list, each item checked (and rewritten) by `item`, or `auto`, in any case,
// which is passed on as "auto". An empty item is refused.
CLI::Validator ListOf(const CLI::Validator& item);

}  // namespace host::options
