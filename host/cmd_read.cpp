// `vpihost read --port NAME GATE[:COUNT]...`: reads gates through the driver once (operation 6,
// or 5 with --ex) and prints their values as a table, CSV or JSON lines.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "command_setup.h"
#include "commands.h"
#include "output.h"
#include "reading.h"
#include "steps.h"

namespace host {

namespace {

struct ReadOptions {
    LineOptions line;
    std::vector<std::string> gates;
    bool ex = false;
    Format format = Format::Table;
};

void ReadAll(Runtime& runtime, Channel& channel, std::vector<Gate>& gates,
             const ReadOptions& options) {
    ReadingPrinter printer(options.format);
    for (Gate& gate : gates) {
        LogTally tally;
        const Reading reading = ReadGate(runtime.driver, channel, gate, options.ex, &tally);
        printer.Print(reading);
        runtime.exit.Raise(ExitFor(reading.result));
    }
}

void RunRead(Runtime& runtime, const ReadOptions& options) {
    if (!runtime.exit.Passed(LoadDriver(runtime))) return;
    // Every gate through the driver's parse and check first, so that a typing error costs no
    // time on the line.
    ReadGates list =
        PrepareReadGates(runtime, options.gates,
                         options.ex ? "--ex reads EX gates only (operation 5)" : nullptr, stderr);
    runtime.exit.Raise(list.exit);
    if (list.exit == kExitUsage || list.gates.empty()) return;

    Channel channel;
    if (!OpenLine(runtime, channel, options.line, NotesStream(options.format))) return;
    ReadAll(runtime, channel, list.gates, options);
    CloseLine(runtime, channel);
}

}  // namespace

void AddReadCommand(CLI::App& app, Runtime& runtime) {
    auto [command, options] = AddCommand<ReadOptions>(
        app, runtime, "read", "Read gates once through the driver (operation 6; --ex: operation 5)",
        RunRead);
    AddLineOptions(command, options.line, true);
    command
        .add_option("GATE", options.gates,
                    "gate address, optionally with :COUNT (default: the family's count; EX "
                    "gates need one)")
        ->required();
    command.add_flag("--ex", options.ex, "read EX gates with one exchange (operation 5)");
    AddFormatOptions(command, options.format);
}

}  // namespace host
