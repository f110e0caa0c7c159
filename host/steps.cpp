// The commands' shared steps and the words they say about the driver, the channel and gates.
#include "steps.h"

#include <fmt/format.h>

#include <algorithm>

#include "memtype_names.h"
#include "protocol.h"

namespace host {

namespace {

// Why `channel` did not open, in one sentence.
std::string ChannelProblemText(ChannelProblem problem, const Channel& channel) {
    switch (problem) {
        case ChannelProblem::None:
            return "";
        case ChannelProblem::ParityOrStop:
            return "--parity takes none|odd|even|mark|space, --stop 1|1.5|2";
        case ChannelProblem::Timeout:
            return fmt::format("--timeout must be 0 to {} ms", kMaxTimeoutMs);
        case ChannelProblem::PortName:
            return fmt::format("port name \"{}\" must be 1 to {} characters", channel.PortName(),
                               kMaxPortName);
        case ChannelProblem::NoStateSize:
            return "the driver did not say how large its channel state is";
        case ChannelProblem::NotOpened:
            return fmt::format("{} did NOT open (driver answered {})", channel.PortName(),
                               channel.OpenResult());
    }
    return "";
}

// What a channel that did not open calls for, said on stderr: a usage error for what was
// typed wrong, a failure when the driver gave no size or the port did not open.
ExitCode SayChannelProblem(ChannelProblem problem, const Channel& channel) {
    if (problem == ChannelProblem::None) return kExitOk;
    std::fprintf(stderr, "vpihost: %s\n", ChannelProblemText(problem, channel).c_str());
    const bool typed = problem == ChannelProblem::ParityOrStop ||
                       problem == ChannelProblem::Timeout || problem == ChannelProblem::PortName;
    return typed ? kExitUsage : kExitFailed;
}

void PrintChannelNotes(std::FILE* notes, const Channel& channel) {
    const std::int64_t units = channel.TimeoutUnits();
    if (channel.AskedTimeoutMs() % 10 != 0) {
        std::fprintf(
            notes,
            "note: read time-out %lld ms rounded up to %lld ms (the driver counts in 10 ms)\n",
            static_cast<long long>(channel.AskedTimeoutMs()), static_cast<long long>(units * 10));
    }
    if (units == 0)
        std::fprintf(notes,
                     "note: a read time-out of 0 leaves the port at the 1000 ms of opening\n");
    std::fprintf(notes, "line              %s\n", LineText(channel.Line()).c_str());
}

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

ExitCode LoadDriver(Runtime& runtime) {
    std::string error;
    if (runtime.driver.Load(runtime.modulePath, &error)) return kExitOk;
    std::fprintf(stderr, "vpihost: cannot load the driver module: %s\n", error.c_str());
    return kExitFailed;
}

ExitCode OpenChannel(Runtime& runtime, Channel& channel, const LineOptions& options,
                     std::FILE* notes) {
    ChannelProblem problem = channel.Check(options);
    if (problem != ChannelProblem::None) return SayChannelProblem(problem, channel);
    if (const ExitCode loaded = LoadDriver(runtime); loaded != kExitOk) return loaded;
    problem = channel.Prepare(runtime.driver);
    if (problem == ChannelProblem::None) {
        PrintChannelNotes(notes, channel);
        problem = channel.Open();
    }
    return SayChannelProblem(problem, channel);
}

ExitCode CloseChannel(Channel& channel) {
    const std::int32_t closed = channel.Close();
    if (closed == VpiDone) return kExitOk;
    std::fprintf(stderr, "vpihost: the system refused to close %s (driver answered %d)\n",
                 channel.PortName().c_str(), closed);
    return kExitFailed;
}

bool OpenLine(Runtime& runtime, Channel& channel, const LineOptions& options, std::FILE* notes) {
    runtime.driver.Log().ShowRts(RtsLines::FirstOfEach);
    return runtime.exit.Passed(OpenChannel(runtime, channel, options, notes));
}

void CloseLine(Runtime& runtime, Channel& channel) {
    runtime.exit.Raise(CloseChannel(channel));
    ReportHiddenRtsLines(runtime);
}

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

ExitCode LoadSite(Runtime& runtime, const std::string& path, PreparedSite* site) {
    const SiteConfigResult config = LoadSiteConfig(path);
    std::vector<ConfigError> errors = config.errors;
    // The driver checks the gates of a file with other errors too, so that one run names all.
    if (const ExitCode loaded = LoadDriver(runtime); loaded != kExitOk) return loaded;
    *site = PrepareSite(runtime.driver, config.site);
    errors.insert(errors.end(), site->errors.begin(), site->errors.end());
    std::stable_sort(errors.begin(), errors.end(),
                     [](const ConfigError& a, const ConfigError& b) { return a.line < b.line; });
    for (const ConfigError& error : errors) std::fprintf(stderr, "%s\n", error.Text().c_str());
    return errors.empty() ? kExitOk : kExitRefused;
}

void ReportHiddenRtsLines(Runtime& runtime) {
    const int hidden = runtime.driver.Log().HiddenRtsLines();
    if (hidden > 0 && !runtime.quietLog) {
        std::fprintf(stderr,
                     "note: %d more RTS messages not shown (this port cannot switch RTS, as a "
                     "pseudo-terminal cannot)\n",
                     hidden);
    }
}

}  // namespace host
