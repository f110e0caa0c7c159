// `vpihost read --port NAME GATE[:COUNT]...`: reads gates through the driver once (operation 6,
// or 5 with --ex) and prints their values as a table, CSV or JSON lines.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "app/command_setup.h"
#include "app/commands.h"
#include "core/driver_steps.h"
#include "core/gate_problems.h"
#include "core/output.h"
#include "core/reading.h"

namespace host::app {

namespace {

struct ReadOptions {
    core::ChannelOptions line;
    std::vector<std::string> gates;
    bool ex = false;
    core::Format format = core::Format::Table;
};

void ReadAll(core::Runtime& runtime, core::Channel& channel, std::vector<core::Gate>& gates,
             const ReadOptions& options) {
    core::ReadingPrinter printer(options.format);
    for (core::Gate& gate : gates) {
        core::LogTally tally;
        const core::Reading reading =
            core::ReadGate(runtime.driver, channel, gate, options.ex, &tally);
        printer.Print(reading);
        runtime.exit.Raise(core::ExitFor(reading.result));
    }
}

void RunRead(core::Runtime& runtime, const ReadOptions& options) {
    if (!runtime.exit.Passed(core::LoadDriver(runtime))) return;
    // Every gate through the driver's parse and check first, so that a typing error costs no
    // time on the line.
    core::ReadGates list = core::PrepareReadGates(
        runtime, options.gates, options.ex ? "--ex reads EX gates only (operation 5)" : nullptr,
        stderr);
    runtime.exit.Raise(list.exit);
    if (list.exit == core::kExitUsage || list.gates.empty()) return;

    core::Channel channel;
    if (!core::OpenLine(runtime, channel, options.line, core::NotesStream(options.format))) return;
    ReadAll(runtime, channel, list.gates, options);
    core::CloseLine(runtime, channel);
}

}  // namespace

void AddReadCommand(CLI::App& app, core::Runtime& runtime) {
    auto [command, options] = AddCommand<ReadOptions>(
        app, runtime, "read", "Read gates once through the driver (operation 6; --ex: operation 5)",
        RunRead);
    core::AddChannelOptions(command, options.line, true);
    command
        .add_option("GATE", options.gates,
                    "gate address, optionally with :COUNT (default: the family's count; EX "
                    "gates need one)")
        ->required();
    command.add_flag("--ex", options.ex, "read EX gates with one exchange (operation 5)");
    core::AddFormatOptions(command, options.format);
}

}  // namespace host::app
