// The line options, channel and gate preparation shared by vpihost's open, read, write, poll
// and demo commands.
#include "gates.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstring>

#include "memtype_names.h"

namespace host {

namespace {

constexpr std::size_t kMaxPortName = sizeof(OpenChannelRecord::portName) - 1;  // 11

const char* const kParityNames[] = {"none", "odd", "even", "mark", "space"};
const char* const kStopNames[] = {"1", "1.5", "2"};

int CodeOf(const std::string& text, const char* const* names, int count) {
    for (int i = 0; i < count; ++i) {
        if (text == names[i]) return i;
    }
    return -1;
}

void PrintDriverLines(const std::vector<LogLine>& lines) {
    for (const LogLine& line : lines) {
        std::fprintf(stderr, "    driver[%d]: %s\n", line.severity, line.text.c_str());
    }
}

}  // namespace

void AddLineOptions(CLI::App& command, LineOptions& options, bool withPort) {
    if (withPort) {
        command
            .add_option("--port", options.port,
                        "port name as the driver takes it (at most 11 characters)")
            ->required();
    }
    command.add_option("--baud", options.baud, "bits per second (default: the driver's)")
        ->check(CLI::Range(1, 65535));
    command.add_option("--data", options.dataBits, "data bits")->check(CLI::Range(5, 8));
    command.add_option("--parity", options.parity, "none|odd|even|mark|space");
    command.add_option("--stop", options.stopBits, "stop bits: 1|1.5|2");
    command.add_option("--timeout", options.timeoutMs,
                       "read time-out in ms, rounded up to 10 ms (default 1000)");
}

std::string SystemPortName(const std::string& port, std::FILE* notes) {
#if defined(_WIN32)
    if (port.size() >= 5 && (port[0] == 'C' || port[0] == 'c') &&
        (port[1] == 'O' || port[1] == 'o') && (port[2] == 'M' || port[2] == 'm')) {
        bool digits = true;
        for (std::size_t i = 3; i < port.size(); ++i)
            digits = digits && std::isdigit(static_cast<unsigned char>(port[i]));
        if (digits) {
            const std::string prefixed = "\\\\.\\" + port;
            if (prefixed.size() <= kMaxPortName) {
                std::fprintf(notes,
                             "port name         %s (COM10 and above need the \\\\.\\ prefix)\n",
                             prefixed.c_str());
                return prefixed;
            }
            std::fprintf(notes,
                         "note: %s needs the \\\\.\\ prefix, which does not fit the driver's %zu "
                         "characters; trying it as given\n",
                         port.c_str(), kMaxPortName);
        }
    }
#else
    static_cast<void>(notes);
#endif
    return port;
}

Channel::~Channel() {
    static_cast<void>(Close());
}

bool Channel::Open(Runtime& runtime, const LineOptions& options, std::FILE* notes) {
    runtime_ = &runtime;
    const int parity = options.parity ? CodeOf(*options.parity, kParityNames, 5) : -1;
    const int stop = options.stopBits ? CodeOf(*options.stopBits, kStopNames, 3) : -1;
    if ((options.parity && parity < 0) || (options.stopBits && stop < 0)) {
        std::fprintf(stderr, "vpihost: --parity takes none|odd|even|mark|space, --stop 1|1.5|2\n");
        RaiseExit(runtime, kExitUsage);
        return false;
    }
    if (options.timeoutMs < 0 || options.timeoutMs > std::int64_t{INT32_MAX} * 10) {
        std::fprintf(stderr, "vpihost: --timeout must be 0 to %lld ms\n",
                     static_cast<long long>(std::int64_t{INT32_MAX} * 10));
        RaiseExit(runtime, kExitUsage);
        return false;
    }
    port_ = SystemPortName(options.port, notes);
    if (port_.empty() || port_.size() > kMaxPortName) {
        std::fprintf(stderr, "vpihost: port name \"%s\" must be 1 to %zu characters\n",
                     port_.c_str(), kMaxPortName);
        RaiseExit(runtime, kExitUsage);
        return false;
    }
    if (!runtime.LoadDriver()) return false;

    DriverInfo info{};
    if (runtime.driver.Call(VpiOperation::Info, nullptr, &info) != VpiDone || info.stateSize <= 0) {
        std::fprintf(stderr, "vpihost: the driver did not say how large its channel state is\n");
        RaiseExit(runtime, kExitFailed);
        return false;
    }
    // As large as the driver asked, aligned for its 32-bit fields.
    area_.assign((static_cast<std::size_t>(info.stateSize) + 3) / 4, 0);

    OpenChannelRecord record{};
    std::memcpy(record.portName, port_.c_str(), port_.size() + 1);
    record.active = 1;
    // Units of 10 ms, rounded up so that the wait is never shorter than asked.
    const std::int64_t units = (options.timeoutMs + 9) / 10;
    record.readTimeout = static_cast<std::int32_t>(units);
    if (options.timeoutMs % 10 != 0) {
        std::fprintf(
            notes,
            "note: read time-out %lld ms rounded up to %lld ms (the driver counts in 10 ms)\n",
            static_cast<long long>(options.timeoutMs), static_cast<long long>(units * 10));
    }
    if (units == 0)
        std::fprintf(notes,
                     "note: a read time-out of 0 leaves the port at the 1000 ms of opening\n");
    timeoutMs_ = units > 0 ? units * 10 : 1000;
    record.line = info.defaultLine;
    if (options.baud) record.line.baudRate = static_cast<std::uint16_t>(*options.baud);
    if (options.dataBits) record.line.dataBits = static_cast<std::uint16_t>(*options.dataBits);
    if (parity >= 0) record.line.parity = static_cast<std::uint16_t>(parity);
    if (stop >= 0) record.line.stopBits = static_cast<std::uint16_t>(stop);

    const unsigned parityCode = record.line.parity & 0xFFu;
    const unsigned stopCode = record.line.stopBits & 0xFFu;
    std::fprintf(notes, "line              %u baud, %u data bits, parity %s, %s stop bit(s)\n",
                 record.line.baudRate, record.line.dataBits & 0xFFu,
                 parityCode < 5 ? kParityNames[parityCode] : "?",
                 stopCode < 3 ? kStopNames[stopCode] : "?");
    const std::int32_t opened = runtime.driver.Call(VpiOperation::Open, area_.data(), &record);
    if (opened != VpiDone) {
        std::fprintf(stderr, "vpihost: %s did NOT open (driver answered %d)\n", port_.c_str(),
                     opened);
        RaiseExit(runtime, kExitFailed);
        return false;
    }
    open_ = true;
    return true;
}

bool Channel::Close() {
    if (!open_) return true;
    open_ = false;
    const std::int32_t closed = runtime_->driver.Call(VpiOperation::Close, area_.data(), nullptr);
    if (closed != VpiDone) {
        std::fprintf(stderr, "vpihost: the system refused to close %s (driver answered %d)\n",
                     port_.c_str(), closed);
        RaiseExit(*runtime_, kExitFailed);
        return false;
    }
    return true;
}

GateIoRecord Gate::Record() {
    GateIoRecord record{};
    record.plcAddress = plcAddress;
    record.memtype = memtype;
    record.index = index;
    record.count = static_cast<std::int32_t>(values.size());
    record.values = values.data();
    return record;
}

int RequiredCount(std::int32_t memtype) {
    if (memtype == MEMTYPE_PLAIN) return 40;
    if (memtype >= MEMTYPE_H1 && memtype <= MEMTYPE_H6) return 34;
    if (memtype >= MEMTYPE_TR1 && memtype <= MEMTYPE_TK3) return 3;
    if (memtype == MEMTYPE_TY1 || memtype == MEMTYPE_TY2) return 2;
    if (memtype >= MEMTYPE_TD1 && memtype <= MEMTYPE_TD16) return 25;
    if (memtype >= MEMTYPE_TC1 && memtype <= MEMTYPE_TC24) return 33;
    return 0;
}

bool SplitGateArgument(const std::string& gateText, std::string* address, std::optional<int>* count,
                       std::string* error) {
    const std::size_t colon = gateText.rfind(':');
    *address = gateText.substr(0, colon);
    count->reset();
    if (colon == std::string::npos) return true;
    const std::string text = gateText.substr(colon + 1);
    int value = 0;
    bool ok = !text.empty() && text.size() <= 4;
    for (char c : text) {
        ok = ok && std::isdigit(static_cast<unsigned char>(c));
        if (ok) value = value * 10 + (c - '0');
    }
    if (!ok) {
        *error = fmt::format("\"{}\": the count after ':' must be a number of 0 to 9999", gateText);
        return false;
    }
    *count = value;
    return true;
}

namespace {

// One call of operation 3 or 4; the driver's lines are handed back in `lines`.
std::int32_t AddressCall(Runtime& runtime, VpiOperation operation, const std::string& address,
                         std::int32_t count, GateAddressRecord* gate, std::vector<LogLine>* lines) {
    *gate = GateAddressRecord{};
    gate->addressText = address.c_str();
    gate->valueType = 3;  // the host keeps meter values as floats
    gate->elementCount = count;
    gate->fixedValue32 = 0;
    static_cast<void>(runtime.TakeLog());
    const std::int32_t result = runtime.driver.Call(operation, nullptr, gate);
    *lines = runtime.TakeLog();
    return result;
}

bool ParseForIo(Runtime& runtime, const std::string& address, GateAddressRecord* gate) {
    std::vector<LogLine> lines;
    if (address.size() > 10) {
        std::fprintf(stderr, "vpihost: gate \"%s\": an address has at most ten characters\n",
                     address.c_str());
        RaiseExit(runtime, kExitRefused);
        return false;
    }
    if (AddressCall(runtime, VpiOperation::ParseAddress, address, 0, gate, &lines) != VpiDone) {
        std::fprintf(
            stderr, "vpihost: gate \"%s\" refused by the driver's address parse%s\n",
            address.c_str(),
            lines.empty() ? (gate->fixedValue32 == 0 ? ": no such address form" : "") : ":");
        PrintDriverLines(lines);
        RaiseExit(runtime, kExitRefused);
        return false;
    }
    return true;
}

}  // namespace

std::optional<Gate> PrepareReadGate(Runtime& runtime, const std::string& gateText) {
    std::string address;
    std::optional<int> count;
    std::string error;
    if (!SplitGateArgument(gateText, &address, &count, &error)) {
        std::fprintf(stderr, "vpihost: %s\n", error.c_str());
        RaiseExit(runtime, kExitUsage);
        return std::nullopt;
    }
    GateAddressRecord gate{};
    if (!ParseForIo(runtime, address, &gate)) return std::nullopt;
    if (gate.memtype == MEMTYPE_INDEX_ZERO) {
        std::fprintf(stderr,
                     "vpihost: gate \"%s\" has index 0: it is a command gate, written with "
                     "`vpihost write`, never read\n",
                     address.c_str());
        RaiseExit(runtime, kExitRefused);
        return std::nullopt;
    }
    if (!count) {
        if (gate.memtype == MEMTYPE_EX) {
            std::fprintf(stderr, "vpihost: EX gate \"%s\" needs a count: %s:N reads N registers\n",
                         address.c_str(), address.c_str());
            RaiseExit(runtime, kExitUsage);
            return std::nullopt;
        }
        count = RequiredCount(gate.memtype);
    }
    std::vector<LogLine> lines;
    if (AddressCall(runtime, VpiOperation::CheckGate, address, *count, &gate, &lines) != VpiDone) {
        std::string why;
        if (lines.empty() && gate.index != 1 && gate.memtype != MEMTYPE_EX) {
            why = fmt::format(": a gate starts at index 1 of its block (this is index {})",
                              gate.index);
        } else if (lines.empty()) {
            why = fmt::format(": {} values do not fit {} (it needs {})", *count,
                              MemtypeLabel(gate.memtype), RequiredCount(gate.memtype));
        }
        std::fprintf(stderr, "vpihost: gate \"%s\" refused by the driver's definition check%s\n",
                     gateText.c_str(), why.c_str());
        PrintDriverLines(lines);
        RaiseExit(runtime, kExitRefused);
        return std::nullopt;
    }
    if (gate.memtype == MEMTYPE_EX && (*count < 1 || *count > 36)) {
        // One reply carries at most 36 registers; the meter does not answer more.
        std::fprintf(stderr, "vpihost: EX gate \"%s\": a read carries 1 to 36 registers\n",
                     gateText.c_str());
        RaiseExit(runtime, kExitUsage);
        return std::nullopt;
    }
    Gate result;
    result.address = address;
    result.plcAddress = gate.plcAddress;
    result.memtype = gate.memtype;
    result.index = gate.index;
    result.values.assign(static_cast<std::size_t>(*count), 0.0f);
    return result;
}

std::optional<Gate> PrepareWriteGate(Runtime& runtime, const std::string& address, int count) {
    GateAddressRecord gate{};
    if (!ParseForIo(runtime, address, &gate)) return std::nullopt;
    Gate result;
    result.address = address;
    result.plcAddress = gate.plcAddress;
    result.memtype = gate.memtype;
    result.index = gate.index;
    result.values.assign(static_cast<std::size_t>(count), 0.0f);
    return result;
}

LineClass ClassifyLine(const std::string& text) {
    if (text.find("RTS") != std::string::npos) return LineClass::Rts;
    if (text.find("Fail to recv") != std::string::npos) return LineClass::NoReply;
    if (text.find("Illigal msg length") != std::string::npos) return LineClass::Length;
    if (text.find("Check Sum") != std::string::npos) return LineClass::Checksum;
    if (text.find("Fail to convert") != std::string::npos) return LineClass::Conversion;
    return LineClass::Other;
}

const char* LineClassName(LineClass kind) {
    switch (kind) {
        case LineClass::Rts:
            return "rts";
        case LineClass::NoReply:
            return "no reply";
        case LineClass::Checksum:
            return "checksum";
        case LineClass::Conversion:
            return "conversion";
        case LineClass::Length:
            return "length";
        case LineClass::Other:
            return "other";
    }
    return "other";
}

LogTally Tally(const std::vector<LogLine>& lines) {
    LogTally tally;
    for (const LogLine& line : lines) {
        switch (ClassifyLine(line.text)) {
            case LineClass::Rts:
                ++tally.rts;
                break;
            case LineClass::NoReply:
                ++tally.noReply;
                ++tally.failedAttempts;
                break;
            case LineClass::Checksum:
                ++tally.checksum;
                ++tally.failedAttempts;
                break;
            case LineClass::Conversion:
                ++tally.conversion;
                ++tally.failedAttempts;
                break;
            // The length line is followed by the attempt's checksum line, which counts it.
            case LineClass::Length:
                break;
            case LineClass::Other:
                ++tally.other;
                ++tally.failedAttempts;
                break;
        }
    }
    return tally;
}

namespace {

struct RtsLines {
    std::vector<std::string> seen;
    int hidden = 0;
};

RtsLines& Rts() {
    static RtsLines lines;
    return lines;
}

bool HideRepeatedRts(int, const std::string& text) {
    if (ClassifyLine(text) != LineClass::Rts) return false;
    RtsLines& rts = Rts();
    for (const std::string& seen : rts.seen) {
        if (seen == text) {
            ++rts.hidden;
            return true;
        }
    }
    rts.seen.push_back(text);
    return false;
}

}  // namespace

void HideRepeatedRtsLines() {
    SetLogFilter(HideRepeatedRts);
}

void ReportHiddenRtsLines(const Runtime& runtime) {
    if (Rts().hidden > 0 && !runtime.quietLog) {
        std::fprintf(stderr,
                     "note: %d more RTS messages not shown (this port cannot switch RTS, as a "
                     "pseudo-terminal cannot)\n",
                     Rts().hidden);
    }
}

Reading ReadGate(Runtime& runtime, Channel& channel, Gate& gate, bool ex, LogTally* tally) {
    Reading reading;
    reading.gate = gate.address;
    reading.plcAddress = gate.plcAddress;
    reading.memtype = gate.memtype;
    reading.index = gate.index;
    static_cast<void>(runtime.TakeLog());
    GateIoRecord record = gate.Record();
    reading.time = Rfc3339Now();
    const auto start = std::chrono::steady_clock::now();
    reading.result = runtime.driver.Call(ex ? VpiOperation::ReadEx : VpiOperation::Read,
                                         channel.State(), &record);
    const auto end = std::chrono::steady_clock::now();
    reading.latencyMs = std::chrono::duration<double, std::milli>(end - start).count();
    *tally = Tally(runtime.TakeLog());
    constexpr int kReadAttempts = 8;  // operation 6 tries up to eight exchanges
    reading.attempts = reading.result == VpiDone ? tally->failedAttempts + 1
                       : ex                      ? 1
                                                 : kReadAttempts;
    reading.values = gate.values;
    return reading;
}

}  // namespace host
