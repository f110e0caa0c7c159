// `vpihost parse` and `vpihost check`: runs gate addresses through the driver's own address
// parsing (operation 3) and definition check (operation 4), so that a gate list can be
// checked before commissioning.
#include <fmt/format.h>
#include <CLI/CLI.hpp>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/command_setup.h"
#include "app/commands.h"
#include "core/driver_steps.h"
#include "core/exit_status.h"
#include "core/gate_prep.h"
#include "core/memtype_names.h"
#include "text/text_escape.h"
#include "vpi_families.h"

namespace host::app {

namespace {

// Outputs are pre-filled with these so that a silent refusal can tell how far the driver got.
constexpr std::int32_t kUnset = INT32_MIN;
constexpr std::uint32_t kUnsetFixed = 0xDEADBEEFu;

struct GateOptions {
    std::vector<std::string> addresses;
    std::int32_t valueType = 3;
    std::optional<std::int32_t> count;
};

// An argument split as every command splits "ADDRESS[:COUNT]".
struct GateArgument {
    std::string address;
    std::optional<int> count;
};

// Why a refusal came without a line from the driver, judged from what it left in the record.
std::string SilentReason(const GateAddressRecord& gate, VpiOperation operation) {
    if (std::strlen(gate.addressText) > core::kMaxAddressLength)
        return "longer than ten characters";
    if (gate.fixedValue32 == kUnsetFixed) return "matches no address form";
    if (gate.memtype == kUnset) return fmt::format("no such TC number (01-{:02d})", kTcPerBank);
    if (operation == VpiOperation::CheckGate && gate.index != 1 && gate.memtype != MEMTYPE_EX) {
        return fmt::format("index {}: a gate definition must start at index 1", gate.index);
    }
    if (operation == VpiOperation::CheckGate) {
        return fmt::format("{} values do not fit memory type {}", gate.elementCount,
                           core::MemtypeLabel(gate.memtype));
    }
    return "refused without a message";
}

void PrintHeader(bool withCount) {
    std::printf("%-13s %-8s %4s  %-16s %s\n", "address", "result", "plc", "memtype",
                withCount ? "index / count" : "index");
}

// One address through `operation`, with the count given after ':' or else by --count; prints
// its row and says whether it was accepted.
bool RunOne(core::Runtime& runtime, VpiOperation operation, const GateArgument& argument,
            const GateOptions& options) {
    const std::string& address = argument.address;
    GateAddressRecord gate{};
    gate.addressText = address.c_str();
    gate.valueType = options.valueType;
    gate.elementCount = argument.count.value_or(options.count.value_or(0));
    gate.plcAddress = kUnset;
    gate.memtype = kUnset;
    gate.index = kUnset;
    gate.fixedValue255 = kUnsetFixed;
    gate.fixedValue32 = kUnsetFixed;
    static_cast<void>(runtime.driver.TakeLog());
    const std::int32_t result = runtime.driver.Call(operation, nullptr, &gate);
    const std::vector<core::LogLine> lines = runtime.driver.TakeLog();

    // What was typed, control bytes and all, shown so that it cannot move the terminal.
    const std::string shown = "\"" + text::LineBytes(address) + "\"";
    const bool withCount = operation == VpiOperation::CheckGate || argument.count.has_value();
    if (result == VpiDone) {
        std::string index = std::to_string(gate.index);
        if (gate.memtype == MEMTYPE_EX)
            index += " (group/item " + core::ExIndexLabel(gate.index) + ")";
        if (withCount) index += fmt::format(" / {}", gate.elementCount);
        std::printf("%-13s %-8s %4d  %-16s %s\n", shown.c_str(), "accepted", gate.plcAddress,
                    core::MemtypeLabel(gate.memtype).c_str(), index.c_str());
        return true;
    }
    std::printf("%-13s %-8s %4s  %-16s %s\n", shown.c_str(),
                result == VpiRefused ? "refused" : "failed", "-", "-", "-");
    if (lines.empty()) {
        std::printf("    (no message) %s\n", SilentReason(gate, operation).c_str());
    }
    for (const core::LogLine& line : lines) {
        std::printf("    driver[%d]: %s\n", line.severity, text::LineBytes(line.text).c_str());
    }
    return false;
}

// The arguments split into address and count; a count that is no number, or a check without
// any count, is said and raised as a usage error.
std::optional<std::vector<GateArgument>> SplitArguments(core::Runtime& runtime,
                                                        VpiOperation operation,
                                                        const GateOptions& options) {
    std::vector<GateArgument> arguments;
    for (const std::string& text : options.addresses) {
        GateArgument argument;
        std::string error;
        if (!core::SplitGateArgument(text, &argument.address, &argument.count, &error)) {
            std::fprintf(stderr, "vpihost: %s\n", text::LineBytes(error).c_str());
            runtime.exit.Raise(core::kExitUsage);
            return std::nullopt;
        }
        if (argument.count && options.count && *argument.count != *options.count) {
            std::fprintf(stderr, "vpihost: \"%s\" gives count %d, --count %d; give one\n",
                         text::LineBytes(text).c_str(), *argument.count, *options.count);
            runtime.exit.Raise(core::kExitUsage);
            return std::nullopt;
        }
        if (operation == VpiOperation::CheckGate && !argument.count && !options.count) {
            std::fprintf(stderr, "vpihost: check needs the gate's count: %s:25 or --count 25\n",
                         text::LineBytes(text).c_str());
            runtime.exit.Raise(core::kExitUsage);
            return std::nullopt;
        }
        arguments.push_back(std::move(argument));
    }
    return arguments;
}

void Run(core::Runtime& runtime, VpiOperation operation, const GateOptions& options) {
    const std::optional<std::vector<GateArgument>> arguments =
        SplitArguments(runtime, operation, options);
    if (!arguments) return;
    if (!runtime.exit.Passed(core::LoadDriver(runtime))) return;
    const bool anyCount = std::any_of(arguments->begin(), arguments->end(),
                                      [](const GateArgument& a) { return a.count.has_value(); });
    PrintHeader(operation == VpiOperation::CheckGate || anyCount);
    for (const GateArgument& argument : *arguments) {
        if (!RunOne(runtime, operation, argument, options)) runtime.exit.Raise(core::kExitRefused);
    }
}

void RunParse(core::Runtime& runtime, const GateOptions& options) {
    Run(runtime, VpiOperation::ParseAddress, options);
}

void RunCheck(core::Runtime& runtime, const GateOptions& options) {
    Run(runtime, VpiOperation::CheckGate, options);
}

}  // namespace

void AddParseCommands(CLI::App& app, core::Runtime& runtime) {
    auto [parse, options] = AddCommand<GateOptions>(
        app, runtime, "parse",
        "Parse gate addresses as the host does (operation 3): PLC address, memory type, index",
        RunParse);
    parse
        .add_option("address", options.addresses,
                    "gate address texts, optionally with :COUNT (quote blanks)")
        ->required();
    parse.add_option("--type", options.valueType, "the gate's value type (3: float)")
        ->capture_default_str();

    auto [check, checkOptions] = AddCommand<GateOptions>(
        app, runtime, "check",
        "Check a gate definition (operation 4): address, first index, element count", RunCheck);
    check
        .add_option("address", checkOptions.addresses,
                    "gate address text, with :COUNT unless --count gives it (quote blanks)")
        ->required()
        ->expected(1);
    check.add_option("--count", checkOptions.count, "number of values the gate holds");
    check.add_option("--type", checkOptions.valueType, "the gate's value type (not checked)")
        ->capture_default_str();
}

}  // namespace host::app
