// `vpihost write --port NAME GATE VALUE...`: writes a command gate (index 0, value 1 or 2) or an
// EX gate of group 10 through the driver (operation 7); --dry-run shows the request instead.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "gates.h"
#include "host.h"
#include "output.h"

namespace host {

namespace {

constexpr int kWriteAttempts = 8;
constexpr std::int32_t kWritableExGroup = 10;
constexpr int kMaxExValues = 36;  // past 36 values the frame has no checksum

struct WriteOptions {
    LineOptions line;
    std::string gate;
    std::vector<std::string> values;
    bool dryRun = false;
    Format format = Format::Table;
};

// The frame's checksum over its counted bytes 1 to L: the sum of (byte - 34), kept in 16 bits,
// mod 92, plus 34.
char FrameChecksum(const std::string& frame, std::size_t counted) {
    std::uint16_t sum = 0;
    for (std::size_t i = 1; i <= counted && i < frame.size(); ++i) {
        sum = static_cast<std::uint16_t>(sum + static_cast<unsigned char>(frame[i]) - 34u);
    }
    return static_cast<char>(sum % 92 + 34);
}

// An EX register as the meter gets it: truncated toward zero to 64 bits, the low 32 bits sent;
// a value that is not a number or too large for 64 bits goes as 0.
std::uint32_t ExRegister(float value) {
    if (!(std::fabs(value) < 9223372036854775808.0f)) return 0;
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(static_cast<std::int64_t>(value)));
}

// The request the driver builds for `gate`, or "" when the driver would refuse it.
std::string BuildRequest(const Gate& gate) {
    if (gate.plcAddress < 0 || gate.plcAddress > 99) return {};
    std::string frame;
    if (gate.memtype == MEMTYPE_INDEX_ZERO) {
        const float v = gate.values.empty() ? 0.0f : gate.values[0];
        if (v > 2.0f || !(v >= 1.0f)) return {};
        frame = fmt::format("!007{:02d}4{}", gate.plcAddress, v == 1.0f ? 1 : 2);
        frame += FrameChecksum(frame, 7);
    } else if (gate.memtype == MEMTYPE_EX) {
        if (((gate.index >> 8) & 0xFF) != kWritableExGroup) return {};
        const auto n = gate.values.size();
        frame = fmt::format("!{:03d}{:02d}a{:02X}{:02X}", 10 + 8 * n, gate.plcAddress,
                            (gate.index >> 8) & 0xFF, gate.index & 0xFF);
        for (float v : gate.values) frame += fmt::format("{:08X}", ExRegister(v));
        frame += FrameChecksum(frame, 10 + 8 * n);
    } else {
        return {};
    }
    return frame + "\r\n";
}

std::string Escaped(const std::string& frame) {
    std::string out;
    for (char c : frame) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

// Why the driver would refuse `gate`, for people.
std::string RefusalReason(const Gate& gate) {
    if (gate.memtype == MEMTYPE_INDEX_ZERO)
        return "a command gate takes the value 1 (clear the demand maxima) or 2 (clear the energy "
               "counters)";
    if (gate.memtype == MEMTYPE_EX)
        return fmt::format("only EX group {} is writable (this is group {})", kWritableExGroup,
                           (gate.index >> 8) & 0xFF);
    return "only command gates (index 0) and EX gates of group 10 are writable";
}

bool ParseValues(Runtime& runtime, const WriteOptions& options, Gate* gate) {
    for (std::size_t i = 0; i < options.values.size(); ++i) {
        const std::string& text = options.values[i];
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (text.empty() || end == nullptr || *end != '\0') {
            std::fprintf(stderr, "vpihost: value \"%s\" is not a number\n", text.c_str());
            RaiseExit(runtime, kExitUsage);
            return false;
        }
        gate->values[i] = static_cast<float>(value);
    }
    return true;
}

void RunWrite(Runtime& runtime, const WriteOptions& options) {
    if (!options.dryRun && options.line.port.empty()) {
        std::fprintf(stderr, "vpihost: write needs --port (or --dry-run)\n");
        RaiseExit(runtime, kExitUsage);
        return;
    }
    if (!runtime.LoadDriver()) return;
    auto gate = PrepareWriteGate(runtime, options.gate, static_cast<int>(options.values.size()));
    if (!gate) return;
    if (!ParseValues(runtime, options, &*gate)) return;
    if (gate->memtype == MEMTYPE_INDEX_ZERO && gate->values.size() != 1) {
        std::fprintf(stderr, "vpihost: command gate \"%s\" takes one value, 1 or 2\n",
                     gate->address.c_str());
        RaiseExit(runtime, kExitUsage);
        return;
    }
    if (gate->memtype == MEMTYPE_EX && gate->values.size() > kMaxExValues) {
        std::fprintf(stderr, "vpihost: an EX write carries at most %d values\n", kMaxExValues);
        RaiseExit(runtime, kExitUsage);
        return;
    }

    const std::string request = BuildRequest(*gate);
    if (options.dryRun) {
        if (request.empty()) {
            std::printf("refused: %s; the driver would send nothing\n",
                        RefusalReason(*gate).c_str());
            RaiseExit(runtime, kExitRefused);
            return;
        }
        std::printf("request           %s (%zu bytes)\n", Escaped(request).c_str(), request.size());
        std::printf(
            "note: the driver sends it up to %d times until a reply with a good checksum comes\n",
            kWriteAttempts);
        return;
    }

    HideRepeatedRtsLines();
    Channel channel;
    if (!channel.Open(runtime, options.line, options.format == Format::Table ? stdout : stderr))
        return;
    static_cast<void>(runtime.TakeLog());
    GateIoRecord record = gate->Record();
    const std::int32_t result = runtime.driver.Call(VpiOperation::Write, channel.State(), &record);
    static_cast<void>(runtime.TakeLog());
    static_cast<void>(channel.Close());
    ReportHiddenRtsLines(runtime);

    const char* what = result == VpiDone      ? "acknowledged"
                       : result == VpiRefused ? "refused, nothing sent"
                                              : "no acknowledgement after 8 attempts";
    if (options.format == Format::Json) {
        nlohmann::json line;
        line["time"] = Rfc3339Now();
        line["gate"] = gate->address;
        line["plc"] = gate->plcAddress;
        line["memtype"] = gate->memtype;
        line["index"] = gate->index;
        line["result"] = result;
        line["status"] = ResultName(result);
        line["request"] = request;  // the frame's own bytes, CR LF included
        std::printf("%s\n", line.dump().c_str());
    } else if (options.format == Format::Csv) {
        std::printf("time,gate,plc,memtype,index,result\n%s,%s,%d,%d,%d,%d\n", Rfc3339Now().c_str(),
                    gate->address.c_str(), gate->plcAddress, gate->memtype, gate->index, result);
    } else {
        std::printf("write             %s: %s\n", gate->address.c_str(), what);
        if (result == VpiRefused)
            std::printf("reason            %s\n", RefusalReason(*gate).c_str());
        if (result == VpiFailed) {
            std::printf(
                "note: the driver sent the request %d times; no reply with a good checksum "
                "came\n",
                kWriteAttempts);
        }
    }
    if (result == VpiRefused) RaiseExit(runtime, kExitRefused);
    if (result == VpiFailed) RaiseExit(runtime, kExitFailed);
}

void AddWriteCommand(CLI::App& app, Runtime& runtime) {
    auto options = std::make_shared<WriteOptions>();
    auto* command = app.add_subcommand(
        "write",
        "Write a command gate (index 0: the value 1 or 2 selects the command operand) or an EX gate "
        "of group 10 (operation 7). The driver sends the request up to 8 times until the meter "
        "acknowledges it");
    command->add_option("--port", options->line.port,
                        "port name as the driver takes it (at most 11 characters)");
    AddLineOptions(*command, options->line, false);
    command->add_option("GATE", options->gate, "gate address, e.g. 0100 or 01EX1001")->required();
    command->add_option("VALUE", options->values, "value(s) to write")->required();
    command->add_flag("--dry-run", options->dryRun,
                      "print the request the driver would send; touch no port");
    AddFormatOptions(*command, options->format);
    command->callback([&runtime, options] { RunWrite(runtime, *options); });
}

}  // namespace

const bool kRegistered = RegisterCommand(50, AddWriteCommand);

}  // namespace host
