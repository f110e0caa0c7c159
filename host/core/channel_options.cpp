// The line options of open, read, write and poll, and the names of the line's codes.
#include "core/channel_options.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <array>

#include "core/durations.h"
#include "core/name_table.h"
#include "options/line_options.h"

namespace host::core {

namespace {

CLI::Validator PortNameCheck() {
    return CLI::Validator(
        [](std::string& name) -> std::string {
            if (name.empty()) return "a port name is not empty";
            if (name.size() <= kMaxPortName) return {};
            return fmt::format(
                "\"{}\" has {} characters; the driver's record holds {} and its "
                "end (give the adapter a short name: vpihost ports --udev-rule)",
                name, name.size(), kMaxPortName);
        },
        "NAME");
}

}  // namespace

std::string PortNameHelp() {
    return fmt::format("port name as the driver takes it (at most {} characters)", kMaxPortName);
}

CLI::Option* AddPortOption(CLI::App& command, std::string& port, const std::string& help,
                           bool driverName) {
    CLI::Option* option = command.add_option("-p,--port", port, help);
    if (driverName) option->check(PortNameCheck());
    return option;
}

CLI::Option* AddTimeoutOption(CLI::App& command, std::int64_t& timeoutMs, const std::string& help) {
    return command.add_option("-t,--timeout", timeoutMs, help)
        ->transform(DurationCheck(kMinTimeoutOptionMs, kMaxTimeoutOptionMs, "ms", true));
}

void AddChannelOptions(CLI::App& command, ChannelOptions& options, bool withPort) {
    if (withPort) AddPortOption(command, options.port, PortNameHelp())->required();
    command.add_option("-b,--baud", options.baud, "bits per second (default: the driver's)")
        ->check(options::BaudRate());
    command.add_option("--data", options.dataBits, "data bits (default: the driver's)")
        ->check(options::DataBits());
    command.add_option("--parity", options.parity, "parity, any case (default: the driver's)")
        ->transform(options::Parity());
    command.add_option("--stop", options.stopBits, "stop bits (default: the driver's)")
        ->check(options::StopBits());
    AddTimeoutOption(command, options.timeoutMs,
                     "read time-out: 500ms, 2s; a bare number is ms; rounded up to 10 ms "
                     "(default 1000ms)");
}

void AddLineTextOptions(CLI::App& command, std::string& baud, std::string& data,
                        std::string& parity, std::string& stop, bool lists) {
    const auto check = [lists](const CLI::Validator& one) {
        return lists ? options::ListOf(one) : one;
    };
    command
        .add_option("-b,--baud", baud,
                    lists ? "bits per second: 9600,19200, or auto (9600, 19200, 38400, 57600, "
                            "4800, 2400, 1200)"
                          : "bits per second")
        ->transform(check(options::BaudRate()))
        ->capture_default_str();
    command.add_option("--data", data, lists ? "data bits: 8, a list, or auto (8,7)" : "data bits")
        ->transform(check(options::DataBits()))
        ->capture_default_str();
    command
        .add_option(
            "--parity", parity,
            lists ? "parity, any case: a list, or auto (none,even,odd)" : "parity, any case")
        ->transform(check(options::Parity()))
        ->capture_default_str();
    command.add_option("--stop", stop, lists ? "stop bits: a list, or auto (1,2)" : "stop bits")
        ->transform(check(options::StopBits()))
        ->capture_default_str();
}

const char* ParityName(unsigned code) {
    return NameOf(options::kParityNames, code);
}

const char* StopBitsName(unsigned code) {
    return NameOf(options::kStopNames, code);
}

int ParityCode(const std::string& name) {
    return options::ParityCode(name);
}

int StopBitsCode(const std::string& name) {
    return options::StopBitsCode(name);
}

std::string LineText(const LineParameters& line) {
    return fmt::format("{} baud, {} data bits, parity {}, {} stop bit(s)", line.baudRate,
                       line.dataBits & 0xFFu, ParityName(line.parity & 0xFFu),
                       StopBitsName(line.stopBits & 0xFFu));
}

}  // namespace host::core
