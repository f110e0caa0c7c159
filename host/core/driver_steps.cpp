// The driver steps of the commands and the words they say about the driver and the channel.
#include "core/driver_steps.h"

#include <fmt/format.h>

#include "platform/port_diagnosis.h"

namespace host::core {

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
            return fmt::format("{} (driver answered {})",
                               platform::PortFailureText(channel.PortName()), channel.OpenResult());
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

}  // namespace

ExitCode LoadDriver(Runtime& runtime) {
    std::string error;
    if (runtime.driver.Load(runtime.modulePath, &error)) return kExitOk;
    std::fprintf(stderr, "vpihost: cannot load the driver module: %s\n", error.c_str());
    return kExitFailed;
}

ExitCode OpenChannel(Runtime& runtime, Channel& channel, const ChannelOptions& options,
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
    return SayCloseResult(channel, channel.Close());
}

ExitCode SayCloseResult(const Channel& channel, std::int32_t closed) {
    if (closed == VpiDone) return kExitOk;
    std::fprintf(stderr, "vpihost: the system refused to close %s (driver answered %d)\n",
                 channel.PortName().c_str(), closed);
    return kExitFailed;
}

bool OpenLine(Runtime& runtime, Channel& channel, const ChannelOptions& options, std::FILE* notes) {
    runtime.driver.Log().ShowRts(RtsLines::FirstOfEach);
    return runtime.exit.Passed(OpenChannel(runtime, channel, options, notes));
}

void CloseLine(Runtime& runtime, Channel& channel) {
    runtime.exit.Raise(CloseChannel(channel));
    ReportHiddenRtsLines(runtime);
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

}  // namespace host::core
