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

#include "command_setup.h"
#include "commands.h"
#include "metersim_process.h"
#include "output.h"
#include "platform.h"
#include "protocol.h"
#include "reading.h"
#include "steps.h"

namespace host {

namespace {

struct DemoOptions {
    std::string metersim;  // empty: beside vpihost
    std::int64_t timeoutMs = 200;
    float exValue = 4242;
};

// One gate of every family from meter 01, the plain block of meter 07, and the live EX
// registers (group 0: voltages, currents, power, frequency).
constexpr std::array<const char*, 10> kDemoGates{"0101",       "0101H1",  "01TR11",   "01TK11",
                                                 "01TY11",     "01TD011", "01TC0011", "01TC1011",
                                                 "01EX0001:4", "0701"};
static_assert(kDemoGates.size() == 10);

std::string BesideProgram(const std::string& name) {
    const std::string module = DriverModule::DefaultPath();
    return module.substr(0, module.find_last_of('/') + 1) + name;
}

// Starts the simulator on `link`; says on stderr why it did not start.
bool StartSimulator(MeterSimProcess& sim, const std::string& program, const std::string& link) {
    switch (sim.Start({program, "--meter", "01", "--meter", "07", "--seed", "1", "--link", link})) {
        case SimStart::Started:
            return true;
        case SimStart::NoPipe:
            std::fprintf(stderr, "vpihost: pipe: %s\n", std::strerror(sim.Error()));
            return false;
        case SimStart::NotStarted:
        case SimStart::Unsupported:
            std::fprintf(stderr, "vpihost: cannot start %s: %s\n", program.c_str(),
                         std::strerror(sim.Error()));
            return false;
        case SimStart::Silent:
            std::fprintf(stderr, "vpihost: metersim did not start (it said \"%s\")\n",
                         sim.FirstLine().c_str());
            return false;
    }
    return false;
}

// The demo's run on an open channel; counts the RTS lines the driver logged.
class DemoRun {
public:
    DemoRun(Runtime& runtime, Channel& channel, const DemoOptions& options)
        : runtime_(runtime), channel_(channel), options_(options) {}

    void ReadEveryFamily();
    void WriteAndReadBack();
    // The RTS lines of everything since the last count.
    void CountRts() { rtsLines_ += Tally(runtime_.driver.TakeLog()).rts; }
    int RtsLines() const { return rtsLines_; }

private:
    bool Write(const std::string& address, float value);
    void ReadBack(const std::string& gateText);

    Runtime& runtime_;
    Channel& channel_;
    const DemoOptions& options_;
    int rtsLines_ = 0;
};

void DemoRun::ReadEveryFamily() {
    const std::vector<std::string> texts(kDemoGates.begin(), kDemoGates.end());
    ReadGates list = PrepareReadGates(runtime_, texts, nullptr, stderr);
    runtime_.exit.Raise(list.exit);
    std::printf("\n");
    ReadingPrinter printer(Format::Table);
    for (Gate& gate : list.gates) {
        LogTally tally;
        const Reading reading = ReadGate(runtime_.driver, channel_, gate, false, &tally);
        rtsLines_ += tally.rts;
        printer.Print(reading);
        runtime_.exit.Raise(ExitFor(reading.result));
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
    PreparedGate prepared = PrepareWriteGate(runtime_.driver, address, 1);
    if (prepared.problem != GateProblem::None) {
        PrintGateProblem(stderr, prepared);
        runtime_.exit.Raise(ExitFor(prepared.problem));
        return false;
    }
    prepared.gate.values[0] = value;
    GateIoRecord record = prepared.gate.Record();
    const std::int32_t result =
        runtime_.driver.Call(VpiOperation::Write, channel_.State(), &record);
    CountRts();
    std::printf("write %-11s %s: %s\n", address.c_str(), FormatValue(value).c_str(),
                result == VpiDone ? "acknowledged" : ResultName(result));
    runtime_.exit.Raise(ExitFor(result));
    return result == VpiDone;
}

// Reads the register back with the single-exchange EX read.
void DemoRun::ReadBack(const std::string& gateText) {
    PreparedGate prepared = PrepareReadGate(runtime_.driver, gateText);
    if (prepared.problem != GateProblem::None) {
        PrintGateProblem(stderr, prepared);
        runtime_.exit.Raise(ExitFor(prepared.problem));
        return;
    }
    LogTally tally;
    const Reading back = ReadGate(runtime_.driver, channel_, prepared.gate, true, &tally);
    rtsLines_ += tally.rts;
    const bool same = back.result == VpiDone && back.values[0] == options_.exValue;
    std::printf(
        "read  %-11s %s (EX read, operation 5): %s\n", prepared.address.c_str(),
        back.result == VpiDone ? FormatValue(back.values[0]).c_str() : ResultName(back.result),
        same ? "the value written" : "NOT the value written");
    if (!same) runtime_.exit.Raise(kExitFailed);
}

// Everything on the simulated line; the number of RTS lines kept off the screen, or -1 when
// the channel did not open.
int DemoOnLine(Runtime& runtime, const DemoOptions& options, const std::string& link) {
    LineOptions line;
    line.port = link;
    line.timeoutMs = options.timeoutMs;
    Channel channel;
    if (!runtime.exit.Passed(OpenChannel(runtime, channel, line, stdout))) return -1;
    DemoRun run(runtime, channel, options);
    run.CountRts();
    run.ReadEveryFamily();
    run.WriteAndReadBack();
    runtime.exit.Raise(CloseChannel(channel));
    run.CountRts();
    return run.RtsLines();
}

void RunDemo(Runtime& runtime, const DemoOptions& options) {
    if (!MeterSimProcess::Supported()) {
        std::fprintf(stderr,
                     "vpihost: the demo needs Linux (it runs the meter simulator on a "
                     "pseudo-terminal); on Windows use read, write and poll with a real port\n");
        runtime.exit.Raise(kExitUsage);
        return;
    }
    if (!runtime.exit.Passed(LoadDriver(runtime))) return;
    const std::string program =
        options.metersim.empty() ? BesideProgram("metersim") : options.metersim;
    // The driver takes port names of at most 11 characters: "/tmp/vd" and four digits.
    const std::string link = fmt::format("/tmp/vd{:04d}", platform::ProcessId() % 10000);
    MeterSimProcess sim;
    if (!StartSimulator(sim, program, link)) {
        runtime.exit.Raise(kExitFailed);
        return;
    }
    std::printf("metersim          meters 01 and 07 on %s (%s)\n", sim.Listening().c_str(),
                link.c_str());
    // The pseudo-terminal cannot switch RTS, so every exchange logs two RTS lines: kept off
    // the screen here and counted.
    runtime.driver.Log().ShowRts(RtsLines::Hide);
    const int rtsLines = DemoOnLine(runtime, options, link);
    runtime.driver.Log().ShowRts(RtsLines::Show);
    if (rtsLines < 0) return;
    std::printf(
        "\nnote: a pseudo-terminal has no RTS line, so the driver's %d messages about "
        "setting RTS were expected and kept off the screen\n",
        rtsLines);
    if (sim.Stop() != 0) {
        std::fprintf(stderr, "vpihost: metersim did not stop cleanly\n");
        runtime.exit.Raise(kExitFailed);
    }
    std::printf("metersim          stopped\n");
}

}  // namespace

void AddDemoCommand(CLI::App& app, Runtime& runtime) {
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

}  // namespace host
