// The serial line as the commands take it: the options, the names of parity and stop-bit
// codes, and a line's settings as one sentence.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "vpi_records.h"

namespace CLI {
class App;
}

namespace host::core {

// The most characters of a port name: the record holds 12 bytes with the NUL.
inline constexpr std::size_t kMaxPortName = sizeof(OpenChannelRecord::portName) - 1;

// The help text of a port name option.
std::string PortNameHelp();

// Port and line options as typed; unset ones keep the driver's defaults (operation 14).
struct ChannelOptions {
    std::string port;
    std::optional<unsigned> baud;
    std::optional<unsigned> dataBits;
    std::optional<std::string> parity;
    std::optional<std::string> stopBits;
    std::int64_t timeoutMs = 1000;
};

// Adds --baud, --data, --parity, --stop and --timeout; with `withPort` a required --port too.
void AddChannelOptions(CLI::App& command, ChannelOptions& options, bool withPort);

// "none", "odd", "even", "mark", "space" and "1", "1.5", "2" for the line's codes; "?" for
// a code outside them.
const char* ParityName(unsigned code);
const char* StopBitsName(unsigned code);

// The code of a parity or stop-bit name as typed; -1 for a name that is none of them.
int ParityCode(const std::string& name);
int StopBitsCode(const std::string& name);

// "9600 baud, 8 data bits, parity none, 1 stop bit(s)" (the low byte of each code counts).
std::string LineText(const LineParameters& line);

}  // namespace host::core
