// `vpihost write --port NAME GATE VALUE...`: writes a command gate (index 0, value 1 or 2) or an
// EX gate of the writable group through the driver (operation 7); --dry-run shows the request
// instead, as the protocol layer builds it. An EX value the register would not hold as written
// (it takes signed 32-bit whole numbers) is refused with the reason unless --raw asks for the
// driver's conversion as it is.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "app/command_setup.h"
#include "app/commands.h"
#include "core/driver_steps.h"
#include "core/gate_problems.h"
#include "core/output.h"
#include "core/write_request.h"
#include "protocol.h"
#include "time_stamp.h"

namespace host::app {

namespace {

struct WriteOptions {
    core::ChannelOptions line;
    std::string gate;
    std::vector<std::string> values;
    bool dryRun = false;
    bool raw = false;  // EX values as the driver converts them, whatever the register gets
    core::Format format = core::Format::Table;
};

// The values as typed into `gate` and, as numbers, into `typed`; the first that is not a
// number, or nullopt.
std::optional<std::string> ParseValues(const WriteOptions& options, core::Gate& gate,
                                       std::vector<double>& typed) {
    for (std::size_t i = 0; i < options.values.size(); ++i) {
        const std::string& text = options.values[i];
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (text.empty() || end == nullptr || *end != '\0') return text;
        gate.values[i] = static_cast<float>(value);
        typed.push_back(value);
    }
    return std::nullopt;
}

// Each EX value as typed and what the register gets: on stdout for a dry run (both, for every
// value), on stderr for the values it would not hold as written. True when every value holds.
bool SayExValues(const WriteOptions& options, const std::vector<double>& typed) {
    bool holds = true;
    for (std::size_t i = 0; i < typed.size(); ++i) {
        const core::ExValueCheck check = core::CheckExValue(typed[i]);
        const std::string& text = options.values[i];
        if (options.dryRun) {
            std::printf("value %-11s register gets %d%s\n", text.c_str(), check.sent,
                        check.problem.empty() ? "" : " (not as written)");
        }
        if (check.problem.empty()) continue;
        holds = false;
        std::fprintf(stderr, "%s: EX value %s %s\n", options.raw ? "note" : "vpihost", text.c_str(),
                     check.problem.c_str());
    }
    if (!holds && !options.raw) {
        std::fprintf(stderr,
                     "vpihost: the register would not hold what was written; --raw sends it as "
                     "the driver converts it\n");
    }
    return holds;
}

// What the command line asks of the values, said on stderr: kExitUsage or kExitOk.
// `notAsWritten`: EX values the register would not hold as written (said, and refused by the
// caller unless --raw).
core::ExitCode CheckValues(const WriteOptions& options, core::Gate& gate, bool* notAsWritten) {
    std::vector<double> typed;
    if (const auto bad = ParseValues(options, gate, typed)) {
        std::fprintf(stderr, "vpihost: value \"%s\" is not a number\n", bad->c_str());
        return core::kExitUsage;
    }
    if (gate.memtype == MEMTYPE_INDEX_ZERO && gate.values.size() != 1) {
        std::fprintf(stderr, "vpihost: command gate \"%s\" takes one value, 1 or 2\n",
                     gate.address.c_str());
        return core::kExitUsage;
    }
    if (gate.memtype == MEMTYPE_EX &&
        gate.values.size() > static_cast<std::size_t>(protocol::kMaxExCount)) {
        std::fprintf(stderr, "vpihost: an EX write carries at most %d values\n",
                     protocol::kMaxExCount);
        return core::kExitUsage;
    }
    *notAsWritten = gate.memtype == MEMTYPE_EX && !SayExValues(options, typed);
    return core::kExitOk;
}

// The gate and its values as the command line gives them; problems said and raised.
std::optional<core::Gate> GateToWrite(core::Runtime& runtime, const WriteOptions& options) {
    core::PreparedGate prepared = core::PrepareWriteGate(runtime.driver, options.gate,
                                                         static_cast<int>(options.values.size()));
    if (prepared.problem != core::GateProblem::None) {
        core::PrintGateProblem(stderr, prepared);
        runtime.exit.Raise(core::ExitFor(prepared.problem));
        return std::nullopt;
    }
    bool notAsWritten = false;
    const core::ExitCode checked = CheckValues(options, prepared.gate, &notAsWritten);
    runtime.exit.Raise(checked);
    if (checked != core::kExitOk) return std::nullopt;
    if (notAsWritten && !options.raw) {
        runtime.exit.Raise(core::kExitUsage);
        // A dry run still shows the request, as --raw would send it.
        if (!options.dryRun) return std::nullopt;
    }
    return std::move(prepared.gate);
}

void DryRun(core::Runtime& runtime, const core::Gate& gate, const std::string& request) {
    if (request.empty()) {
        std::printf("refused: %s; the driver would send nothing\n",
                    core::RefusalReason(gate).c_str());
        runtime.exit.Raise(core::kExitRefused);
        return;
    }
    std::printf("request           %s (%zu bytes)\n", core::Escaped(request).c_str(),
                request.size());
    std::printf(
        "note: the driver sends it up to %d times until a reply with a good checksum comes\n",
        protocol::kWriteAttempts);
}

void PrintResult(const WriteOptions& options, const core::Gate& gate, const std::string& request,
                 std::int32_t result) {
    if (options.format == core::Format::Json) {
        nlohmann::json line;
        line["time"] = timestamp::Rfc3339Now().c_str();
        line["gate"] = gate.address;
        line["plc"] = gate.plcAddress;
        line["memtype"] = gate.memtype;
        line["index"] = gate.index;
        line["result"] = result;
        line["status"] = core::ResultName(result);
        line["request"] = request;  // the frame's own bytes, CR LF included
        std::printf("%s\n", line.dump().c_str());
    } else if (options.format == core::Format::Csv) {
        std::printf("time,gate,plc,memtype,index,result\n%s,%s,%d,%d,%d,%d\n",
                    timestamp::Rfc3339Now().c_str(), gate.address.c_str(), gate.plcAddress,
                    gate.memtype, gate.index, result);
    } else {
        const std::string what =
            result == VpiDone ? "acknowledged"
            : result == VpiRefused
                ? "refused, nothing sent"
                : fmt::format("no acknowledgement after {} attempts", protocol::kWriteAttempts);
        std::printf("write             %s: %s\n", gate.address.c_str(), what.c_str());
        if (result == VpiRefused)
            std::printf("reason            %s\n", core::RefusalReason(gate).c_str());
        if (result == VpiFailed) {
            std::printf(
                "note: the driver sent the request %d times; no reply with a good "
                "checksum came\n",
                protocol::kWriteAttempts);
        }
    }
}

void WriteOnLine(core::Runtime& runtime, const WriteOptions& options, core::Gate& gate,
                 const std::string& request) {
    core::Channel channel;
    if (!core::OpenLine(runtime, channel, options.line, core::NotesStream(options.format))) return;
    static_cast<void>(runtime.driver.TakeLog());
    GateIoRecord record = gate.Record();
    const std::int32_t result = runtime.driver.Call(VpiOperation::Write, channel.State(), &record);
    static_cast<void>(runtime.driver.TakeLog());
    core::CloseLine(runtime, channel);
    PrintResult(options, gate, request, result);
    runtime.exit.Raise(core::ExitFor(result));
}

void RunWrite(core::Runtime& runtime, const WriteOptions& options) {
    if (!options.dryRun && options.line.port.empty()) {
        std::fprintf(stderr, "vpihost: write needs --port (or --dry-run)\n");
        runtime.exit.Raise(core::kExitUsage);
        return;
    }
    if (!runtime.exit.Passed(core::LoadDriver(runtime))) return;
    std::optional<core::Gate> gate = GateToWrite(runtime, options);
    if (!gate) return;
    const std::string request = core::WriteRequest(*gate);
    if (options.dryRun) {
        DryRun(runtime, *gate, request);
    } else {
        WriteOnLine(runtime, options, *gate, request);
    }
}

}  // namespace

void AddWriteCommand(CLI::App& app, core::Runtime& runtime) {
    auto [command, options] = AddCommand<WriteOptions>(
        app, runtime, "write",
        fmt::format("Write a command gate (index 0: the value 1 or 2 selects the command "
                    "operand) or an EX gate of group {} (operation 7). The driver sends "
                    "the request up to {} times until the meter acknowledges it",
                    protocol::kWritableExGroup, protocol::kWriteAttempts),
        RunWrite);
    core::AddPortOption(command, options.line.port, core::PortNameHelp());
    core::AddChannelOptions(command, options.line, false);
    command.add_option("GATE", options.gate, "gate address, e.g. 0100 or 01EX1001")->required();
    command.add_option("VALUE", options.values, "value(s) to write")->required();
    command.add_flag("--dry-run", options.dryRun,
                     "print the request the driver would send, and each EX value as typed and as "
                     "the register gets it; touch no port");
    command.add_flag("--raw", options.raw,
                     "write EX values the register cannot hold as written (NaN, infinite, out of "
                     "the signed 32-bit range, fractions) as the driver converts them");
    core::AddFormatOptions(
        command, options.format,
        {"CSV: a header and one row for the write: time, gate, result",
         "JSON lines: one object for the write: time, gate, result, the request's bytes"});
}

}  // namespace host::app
