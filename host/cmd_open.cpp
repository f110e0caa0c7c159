// `vpihost open PORT`: opens a channel on a port through the driver (operation 1), says how it
// went, and closes it again (operation 11). The first thing to run on a new adapter.
#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host.h"

namespace host {

namespace {

constexpr std::size_t kMaxPortName = sizeof(OpenChannelRecord::portName) - 1;  // 11

struct OpenOptions {
    std::string port;
    std::optional<unsigned> baud;
    std::optional<unsigned> dataBits;
    std::optional<std::string> parity;
    std::optional<std::string> stopBits;
    std::int64_t timeoutMs = 1000;
};

const char* const kParityNames[] = {"none", "odd", "even", "mark", "space"};
const char* const kStopNames[] = {"1", "1.5", "2"};

int CodeOf(const std::string& text, const char* const* names, int count) {
    for (int i = 0; i < count; ++i) {
        if (text == names[i]) return i;
    }
    return -1;
}

// Windows reaches COM10 and above only through the device namespace.
std::string SystemPortName(const std::string& port) {
#if defined(_WIN32)
    if (port.size() >= 5 && (port[0] == 'C' || port[0] == 'c') &&
        (port[1] == 'O' || port[1] == 'o') && (port[2] == 'M' || port[2] == 'm')) {
        bool digits = true;
        for (std::size_t i = 3; i < port.size(); ++i)
            digits = digits && std::isdigit(static_cast<unsigned char>(port[i]));
        if (digits) {
            const std::string prefixed = "\\\\.\\" + port;
            if (prefixed.size() <= kMaxPortName) {
                std::printf("port name         %s (COM10 and above need the \\\\.\\ prefix)\n",
                            prefixed.c_str());
                return prefixed;
            }
            std::printf(
                "note: %s needs the \\\\.\\ prefix, which does not fit the driver's %zu characters;"
                " trying it as given\n",
                port.c_str(), kMaxPortName);
        }
    }
#endif
    return port;
}

void PrintLog(Runtime& runtime) {
    for (const LogLine& line : runtime.TakeLog()) {
        std::printf("driver log        [%d] %s\n", line.severity, line.text.c_str());
    }
}

void RunOpen(Runtime& runtime, const OpenOptions& options) {
    const int parity = options.parity ? CodeOf(*options.parity, kParityNames, 5) : -1;
    const int stop = options.stopBits ? CodeOf(*options.stopBits, kStopNames, 3) : -1;
    if ((options.parity && parity < 0) || (options.stopBits && stop < 0)) {
        std::fprintf(stderr, "vpihost: --parity takes none|odd|even|mark|space, --stop 1|1.5|2\n");
        RaiseExit(runtime, kExitUsage);
        return;
    }
    if (options.timeoutMs < 0 || options.timeoutMs > std::int64_t{INT32_MAX} * 10) {
        std::fprintf(stderr, "vpihost: --timeout must be 0 to %lld ms\n",
                     static_cast<long long>(std::int64_t{INT32_MAX} * 10));
        RaiseExit(runtime, kExitUsage);
        return;
    }
    const std::string port = SystemPortName(options.port);
    if (port.size() > kMaxPortName) {
        std::fprintf(stderr,
                     "vpihost: port name \"%s\" is longer than the driver's %zu characters\n",
                     port.c_str(), kMaxPortName);
        RaiseExit(runtime, kExitUsage);
        return;
    }
    if (!runtime.LoadDriver()) return;

    DriverInfo info{};
    if (runtime.driver.Call(VpiOperation::Info, nullptr, &info) != VpiDone || info.stateSize <= 0) {
        std::fprintf(stderr, "vpihost: the driver did not say how large its channel state is\n");
        RaiseExit(runtime, kExitFailed);
        return;
    }
    // The channel's area, as large as the driver asked and aligned for its 32-bit fields.
    std::vector<std::uint32_t> area((static_cast<std::size_t>(info.stateSize) + 3) / 4, 0);

    OpenChannelRecord record{};
    std::memcpy(record.portName, port.c_str(), port.size() + 1);
    record.active = 1;
    // Units of 10 ms, rounded up so that the wait is never shorter than asked.
    const std::int64_t units = (options.timeoutMs + 9) / 10;
    record.readTimeout = static_cast<std::int32_t>(units);
    if (options.timeoutMs % 10 != 0) {
        std::printf(
            "note: read time-out %lld ms rounded up to %lld ms (the driver counts in 10 ms)\n",
            static_cast<long long>(options.timeoutMs), static_cast<long long>(units * 10));
    }
    if (units == 0)
        std::printf("note: a read time-out of 0 leaves the port at the 1000 ms of opening\n");
    record.line = info.defaultLine;
    if (options.baud) record.line.baudRate = static_cast<std::uint16_t>(*options.baud);
    if (options.dataBits) record.line.dataBits = static_cast<std::uint16_t>(*options.dataBits);
    if (parity >= 0) record.line.parity = static_cast<std::uint16_t>(parity);
    if (stop >= 0) record.line.stopBits = static_cast<std::uint16_t>(stop);

    static_cast<void>(runtime.TakeLog());
    const unsigned parityCode = record.line.parity & 0xFFu;
    const unsigned stopCode = record.line.stopBits & 0xFFu;
    std::printf("line              %u baud, %u data bits, parity %s, %s stop bit(s)\n",
                record.line.baudRate, record.line.dataBits & 0xFFu,
                parityCode < 5 ? kParityNames[parityCode] : "?",
                stopCode < 3 ? kStopNames[stopCode] : "?");
    const std::int32_t opened = runtime.driver.Call(VpiOperation::Open, area.data(), &record);
    if (opened != VpiDone) {
        std::printf("result            %s did NOT open (driver answered %d)\n", port.c_str(),
                    opened);
        PrintLog(runtime);
        RaiseExit(runtime, kExitFailed);
        return;
    }
    std::printf("result            %s opened; read time-out %lld ms\n", port.c_str(),
                static_cast<long long>(units > 0 ? units * 10 : 1000));
    PrintLog(runtime);
    const std::int32_t closed = runtime.driver.Call(VpiOperation::Close, area.data(), nullptr);
    if (closed != VpiDone) {
        std::printf("close             the system refused to close %s (driver answered %d)\n",
                    port.c_str(), closed);
        RaiseExit(runtime, kExitFailed);
    } else {
        std::printf("close             %s closed\n", port.c_str());
    }
    PrintLog(runtime);
}

}  // namespace

void AddOpenCommand(CLI::App& app, Runtime& runtime) {
    auto options = std::make_shared<OpenOptions>();
    auto* command = app.add_subcommand(
        "open", "Open a port through the driver (operation 1), report, close it");
    command
        ->add_option("PORT", options->port,
                     "port name as the driver takes it (at most 11 characters)")
        ->required();
    command->add_option("--baud", options->baud, "bits per second (default: the driver's)")
        ->check(CLI::Range(1, 65535));
    command->add_option("--data", options->dataBits, "data bits")->check(CLI::Range(5, 8));
    command->add_option("--parity", options->parity, "none|odd|even|mark|space");
    command->add_option("--stop", options->stopBits, "stop bits: 1|1.5|2");
    command->add_option("--timeout", options->timeoutMs, "read time-out in ms (default 1000)");
    command->callback([&runtime, options] { RunOpen(runtime, *options); });
}

const bool kRegistered = RegisterCommand(20, AddOpenCommand);

}  // namespace host
