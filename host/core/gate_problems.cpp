// What the commands say about gates the driver did not make ready.
#include "core/gate_problems.h"

#include <fmt/format.h>

#include <algorithm>

#include "core/memtype_names.h"
#include "protocol.h"

namespace host::core {

namespace {

// Why the driver's definition check refused a gate without a line of its own.
std::string SilentCheckReason(const PreparedGate& prepared) {
    const GateAddressRecord& record = prepared.record;
    if (record.index != 1 && record.memtype != MEMTYPE_EX) {
        return fmt::format(": a gate starts at index 1 of its block (this is index {})",
                           record.index);
    }
    return fmt::format(": {} values do not fit {} (it needs {})", prepared.count,
                       MemtypeLabel(record.memtype), RequiredCount(record.memtype));
}

}  // namespace

std::string GateProblemText(const PreparedGate& prepared) {
    const char* address = prepared.address.c_str();
    const char* text = prepared.text.c_str();
    std::string said;
    switch (prepared.problem) {
        case GateProblem::None:
            return "";
        case GateProblem::BadCount:
            return prepared.error;
        case GateProblem::TooLong:
            return fmt::format("gate \"{}\": an address has at most ten characters", address);
        case GateProblem::ParseRefused:
            said = fmt::format("gate \"{}\" refused by the driver's address parse{}", address,
                               !prepared.lines.empty()             ? ":"
                               : prepared.record.fixedValue32 == 0 ? ": no such address form"
                                                                   : "");
            break;
        case GateProblem::CommandGate:
            return fmt::format(
                "gate \"{}\" has index 0: it is a command gate, written with `vpihost write`, "
                "never read",
                address);
        case GateProblem::ExNeedsCount:
            return fmt::format("EX gate \"{}\" needs a count: {}:N reads N registers", address,
                               address);
        case GateProblem::CheckRefused:
            said = fmt::format("gate \"{}\" refused by the driver's definition check{}", text,
                               prepared.lines.empty() ? SilentCheckReason(prepared) : "");
            break;
        case GateProblem::ExCountRange:
            return fmt::format("EX gate \"{}\": a read carries 1 to {} registers", text,
                               protocol::kMaxExCount);
    }
    for (const LogLine& line : prepared.lines) {
        said += fmt::format("\n    driver[{}]: {}", line.severity, line.text);
    }
    return said;
}

void PrintGateProblem(std::FILE* out, const PreparedGate& prepared) {
    if (prepared.problem == GateProblem::None) return;
    std::fprintf(out, "vpihost: %s\n", GateProblemText(prepared).c_str());
}

ExitCode ExitFor(GateProblem problem) {
    switch (problem) {
        case GateProblem::None:
            return kExitOk;
        case GateProblem::BadCount:
        case GateProblem::ExNeedsCount:
        case GateProblem::ExCountRange:
            return kExitUsage;
        case GateProblem::TooLong:
        case GateProblem::ParseRefused:
        case GateProblem::CommandGate:
        case GateProblem::CheckRefused:
            return kExitRefused;
    }
    return kExitRefused;
}

ReadGates PrepareReadGates(Runtime& runtime, const std::vector<std::string>& texts,
                           const char* exOnly, std::FILE* problems) {
    ReadGates result;
    ExitStatus worst;
    for (const std::string& text : texts) {
        PreparedGate prepared = PrepareReadGate(runtime.driver, text);
        if (prepared.problem != GateProblem::None) {
            PrintGateProblem(problems, prepared);
            worst.Raise(ExitFor(prepared.problem));
            continue;
        }
        result.gates.push_back(std::move(prepared.gate));
    }
    const auto notEx = std::find_if(result.gates.begin(), result.gates.end(),
                                    [](const Gate& gate) { return gate.memtype != MEMTYPE_EX; });
    if (exOnly != nullptr && worst.Code() != kExitUsage && notEx != result.gates.end()) {
        std::fprintf(problems, "vpihost: %s; \"%s\" is not one\n", exOnly, notEx->address.c_str());
        worst.Raise(kExitUsage);
    }
    result.exit = worst.Code();
    return result;
}

}  // namespace host::core
