// `vpihost demo`: the whole road in a few seconds without a meter. Starts metersim (beside
// vpihost) on a pseudo-terminal with two meters, reads a gate of every family through the
// driver, writes a command gate and an EX register, reads the register back, and stops it.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/command_setup.h"
#include "app/commands.h"
#include "core/driver_steps.h"
#include "core/gate_problems.h"
#include "core/output.h"
#include "core/reading.h"
#include "platform/metersim_process.h"
#include "platform/system_calls.h"
#include "protocol.h"

namespace host::app {

namespace {

struct DemoOptions {
    std::string metersim;  // empty: beside vpihost
    std::int64_t timeoutMs = 200;
    float exValue = 4242;
};

// One gate of every family from meter 01, the plain block of meter 07, and the live EX
// registers (group 0: voltages, currents, power, frequency).
constexpr auto kDemoGates =
    std::to_array<const char*>({"0101", "0101H1", "01TR11", "01TK11", "01TY11", "01TD011",
                                "01TC0011", "01TC1011", "01EX0001:4", "0701"});
static_assert(kDemoGates.size() == 10);

std::string BesideProgram(const std::string& name) {
    const std::string module = platform::DriverModule::DefaultPath();
    return module.substr(0, module.find_last_of('/') + 1) + name;
}

// Starts the simulator on `link`; says on stderr why it did not start.
bool StartSimulator(platform::MeterSimProcess& sim, const std::string& program,
                    const std::string& link) {
    switch (sim.Start({program, "--meter", "01", "--meter", "07", "--seed", "1", "--link", link})) {
        case platform::SimStart::Started:
            return true;
        case platform::SimStart::NoPipe:
            std::fprintf(stderr, "vpihost: pipe: %s\n", std::strerror(sim.Error()));
            return false;
        case platform::SimStart::NotStarted:
        case platform::SimStart::Unsupported:
            std::fprintf(stderr, "vpihost: cannot start %s: %s\n", program.c_str(),
                         std::strerror(sim.Error()));
            return false;
        case platform::SimStart::Silent:
            std::fprintf(stderr, "vpihost: metersim did not start (it said \"%s\")\n",
                         sim.FirstLine().c_str());
            return false;
    }
    return false;
}

// The demo's run on an open channel; counts the RTS lines the driver logged.
class DemoRun {
public:
    DemoRun(core::Runtime& runtime, core::Channel& channel, const DemoOptions& options)
        : runtime_(runtime), channel_(channel), options_(options) {}

    void ReadEveryFamily();
    void WriteAndReadBack();
    // The RTS lines of everything since the last count.
    void CountRts() { rtsLines_ += core::Tally(runtime_.driver.TakeLog()).rts; }
    int RtsLines() const { return rtsLines_; }

private:
    bool Write(const std::string& address, float value);
    void ReadBack(const std::string& gateText);

    core::Runtime& runtime_;
    core::Channel& channel_;
    const DemoOptions& options_;
    int rtsLines_ = 0;
};

void DemoRun::ReadEveryFamily() {
    const std::vector<std::string> texts(kDemoGates.begin(), kDemoGates.end());
    core::ReadGates list = core::PrepareReadGates(runtime_, texts, nullptr, stderr);
    runtime_.exit.Raise(list.exit);
    std::printf("\n");
    core::ReadingPrinter printer(core::Format::Table);
    for (core::Gate& gate : list.gates) {
        core::LogTally tally;
        const core::Reading reading =
            core::ReadGate(runtime_.driver, channel_, gate, false, &tally);
        rtsLines_ += tally.rts;
        printer.Print(reading);
        runtime_.exit.Raise(core::ExitFor(reading.result));
    }
}

// Writes: the command gate (1 clears the demand maxima) and one EX register of the writable
// group, which is read back.
void DemoRun::WriteAndReadBack() {
    std::printf("\n");
    static_cast<void>(Write("0100", 1.0f));
    const std::string exGate = fmt::format("01EX{:02d}01", protocol::kWritableExGroup);
    if (Write(exGate, options_.exValue)) ReadBack(exGate + ":1");
}

bool DemoRun::Write(const std::string& address, float value) {
    core::PreparedGate prepared = core::PrepareWriteGate(runtime_.driver, address, 1);
    if (prepared.problem != core::GateProblem::None) {
        core::PrintGateProblem(stderr, prepared);
        runtime_.exit.Raise(core::ExitFor(prepared.problem));
        return false;
    }
    prepared.gate.values[0] = value;
    GateIoRecord record = prepared.gate.Record();
    const std::int32_t result =
        runtime_.driver.Call(VpiOperation::Write, channel_.State(), &record);
    CountRts();
    std::printf("write %-11s %s: %s\n", address.c_str(), core::FormatValue(value).c_str(),
                result == VpiDone ? "acknowledged" : core::ResultName(result));
    runtime_.exit.Raise(core::ExitFor(result));
    return result == VpiDone;
}

// Reads the register back with the single-exchange EX read.
void DemoRun::ReadBack(const std::string& gateText) {
    core::PreparedGate prepared = core::PrepareReadGate(runtime_.driver, gateText);
    if (prepared.problem != core::GateProblem::None) {
        core::PrintGateProblem(stderr, prepared);
        runtime_.exit.Raise(core::ExitFor(prepared.problem));
        return;
    }
    core::LogTally tally;
    const core::Reading back =
        core::ReadGate(runtime_.driver, channel_, prepared.gate, true, &tally);
    rtsLines_ += tally.rts;
    const bool same = back.result == VpiDone && back.values[0] == options_.exValue;
    std::printf("read  %-11s %s (EX read, operation 5): %s\n", prepared.address.c_str(),
                back.result == VpiDone ? core::FormatValue(back.values[0]).c_str()
                                       : core::ResultName(back.result),
                same ? "the value written" : "NOT the value written");
    if (!same) runtime_.exit.Raise(core::kExitFailed);
}

// Everything on the simulated line; the number of RTS lines kept off the screen, or -1 when
// the channel did not open.
int DemoOnLine(core::Runtime& runtime, const DemoOptions& options, const std::string& link) {
    core::ChannelOptions line;
    line.port = link;
    line.timeoutMs = options.timeoutMs;
    core::Channel channel;
    if (!runtime.exit.Passed(core::OpenChannel(runtime, channel, line, stdout))) return -1;
    DemoRun run(runtime, channel, options);
    run.CountRts();
    run.ReadEveryFamily();
    run.WriteAndReadBack();
    runtime.exit.Raise(core::CloseChannel(channel));
    run.CountRts();
    return run.RtsLines();
}

void RunDemo(core::Runtime& runtime, const DemoOptions& options) {
    if (!platform::MeterSimProcess::Supported()) {
        std::fprintf(stderr,
                     "vpihost: the demo needs Linux (it runs the meter simulator on a "
                     "pseudo-terminal); on Windows use read, write and poll with a real port\n");
        runtime.exit.Raise(core::kExitUsage);
        return;
    }
    if (!runtime.exit.Passed(core::LoadDriver(runtime))) return;
    const std::string program =
        options.metersim.empty() ? BesideProgram("metersim") : options.metersim;
    // The driver takes port names of at most 11 characters: "/tmp/vd" and four digits.
    const std::string link = fmt::format("/tmp/vd{:04d}", platform::ProcessId() % 10000);
    platform::MeterSimProcess sim;
    if (!StartSimulator(sim, program, link)) {
        runtime.exit.Raise(core::kExitFailed);
        return;
    }
    std::printf("metersim          meters 01 and 07 on %s (%s)\n", sim.Listening().c_str(),
                link.c_str());
    // The pseudo-terminal cannot switch RTS, so every exchange logs two RTS lines: kept off
    // the screen here and counted.
    runtime.driver.Log().ShowRts(core::RtsLines::Hide);
    const int rtsLines = DemoOnLine(runtime, options, link);
    runtime.driver.Log().ShowRts(core::RtsLines::Show);
    if (rtsLines < 0) return;
    std::printf(
        "\nnote: a pseudo-terminal has no RTS line, so the driver's %d messages about "
        "setting RTS were expected and kept off the screen\n",
        rtsLines);
    if (sim.Stop() != 0) {
        std::fprintf(stderr, "vpihost: metersim did not stop cleanly\n");
        runtime.exit.Raise(core::kExitFailed);
    }
    std::printf("metersim          stopped\n");
}

}  // namespace

void AddDemoCommand(CLI::App& app, core::Runtime& runtime) {
    auto [command, options] = AddCommand<DemoOptions>(
        app, runtime, "demo",
        "Start metersim with two meters on a pseudo-terminal, read a gate of every family, "
        "write a command and an EX register, read it back (Linux)",
        RunDemo);
    command.add_option("--metersim", options.metersim, "the simulator (default: beside vpihost)");
    command.add_option("--timeout", options.timeoutMs, "read time-out in ms")
        ->capture_default_str();
    command
        .add_option(
            "--ex-value", options.exValue,
            fmt::format("the value written to EX register {}/1", protocol::kWritableExGroup))
        ->capture_default_str();
}

}  // namespace host::app
