// The serial line as the commands take it: the options, the names of parity and stop-bit
// codes, and a line's settings as one sentence.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "vpi_records.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace host::core {

// The most characters of a port name: the record holds 12 bytes with the NUL.
inline constexpr std::size_t kMaxPortName = sizeof(OpenChannelRecord::portName) - 1;

// The help text of a port name option.
std::string PortNameHelp();

// The time-outs a command line takes, in ms: the driver counts 10 ms steps, and no meter takes
// ten seconds to answer.
inline constexpr std::int64_t kMinTimeoutOptionMs = 10;
inline constexpr std::int64_t kMaxTimeoutOptionMs = 10000;

// Port and line options as typed; unset ones keep the driver's defaults (operation 14).
struct ChannelOptions {
    std::string port;
    std::optional<unsigned> baud;
    std::optional<unsigned> dataBits;
    std::optional<std::string> parity;
    std::optional<std::string> stopBits;
    std::int64_t timeoutMs = 1000;
};

// Adds -b/--baud, --data, --parity, --stop and -t/--timeout; with `withPort` a required
// -p/--port too.
void AddChannelOptions(CLI::App& command, ChannelOptions& options, bool withPort);

// The options every command that takes a line declares alike: -p/--port, -t/--timeout (a time;
// a bare number is ms) and the line settings, each checked as it is parsed, so that a wrong one
// is named alone. With `driverName` the port name must fit the driver's record; the line tools
// open ports themselves and take any name.
CLI::Option* AddPortOption(CLI::App& command, std::string& port, const std::string& help,
                           bool driverName = true);
CLI::Option* AddTimeoutOption(CLI::App& command, std::int64_t& timeoutMs, const std::string& help);
// --baud, --data, --parity, --stop into text; with `lists`, comma-separated lists or "auto".
void AddLineTextOptions(CLI::App& command, std::string& baud, std::string& data,
                        std::string& parity, std::string& stop, bool lists);

// "none", "odd", "even", "mark", "space" and "1", "1.5", "2" for the line's codes; "?" for
// a code outside them.
const char* ParityName(unsigned code);
const char* StopBitsName(unsigned code);

// The code of a parity or stop-bit name as typed, in any case; -1 for a name that is none of
// them.
int ParityCode(const std::string& name);
int StopBitsCode(const std::string& name);

// "9600 baud, 8 data bits, parity none, 1 stop bit(s)" (the low byte of each code counts).
std::string LineText(const LineParameters& line);

}  // namespace host::core
