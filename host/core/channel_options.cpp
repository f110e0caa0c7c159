// The line options of open, read, write and poll, and the names of the line's codes.
#include "core/channel_options.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <array>

#include "core/name_table.h"

namespace host::core {

namespace {

constexpr auto kParityNames = std::to_array<const char*>({"none", "odd", "even", "mark", "space"});
constexpr auto kStopNames = std::to_array<const char*>({"1", "1.5", "2"});
static_assert(kParityNames.size() == 5 && kStopNames.size() == 3);

template <std::size_t N>
int CodeOf(const std::array<const char*, N>& names, const std::string& name) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (name == names[i]) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

std::string PortNameHelp() {
    return fmt::format("port name as the driver takes it (at most {} characters)", kMaxPortName);
}

void AddChannelOptions(CLI::App& command, ChannelOptions& options, bool withPort) {
    if (withPort) {
        command.add_option("--port", options.port, PortNameHelp())->required();
    }
    command.add_option("--baud", options.baud, "bits per second (default: the driver's)")
        ->check(CLI::Range(1, 65535));
    command.add_option("--data", options.dataBits, "data bits")->check(CLI::Range(5, 8));
    command.add_option("--parity", options.parity, "none|odd|even|mark|space");
    command.add_option("--stop", options.stopBits, "stop bits: 1|1.5|2");
    command.add_option("--timeout", options.timeoutMs,
                       "read time-out in ms, rounded up to 10 ms (default 1000)");
}

const char* ParityName(unsigned code) {
    return NameOf(kParityNames, code);
}

const char* StopBitsName(unsigned code) {
    return NameOf(kStopNames, code);
}

int ParityCode(const std::string& name) {
    return CodeOf(kParityNames, name);
}

int StopBitsCode(const std::string& name) {
    return CodeOf(kStopNames, name);
}

std::string LineText(const LineParameters& line) {
    return fmt::format("{} baud, {} data bits, parity {}, {} stop bit(s)", line.baudRate,
                       line.dataBits & 0xFFu, ParityName(line.parity & 0xFFu),
                       StopBitsName(line.stopBits & 0xFFu));
}

}  // namespace host::core
