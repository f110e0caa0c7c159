// `vpihost read --port NAME GATE[:COUNT]...`: reads gates through the driver once (operation 6,
// or 5 with --ex) and prints their values as a table, CSV or JSON lines.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "gates.h"
#include "host.h"
#include "output.h"

namespace host {

namespace {

struct ReadOptions {
    LineOptions line;
    std::vector<std::string> gates;
    bool ex = false;
    Format format = Format::Table;
};

void RunRead(Runtime& runtime, const ReadOptions& options) {
    if (!runtime.LoadDriver()) return;
    // Every gate through the driver's parse and check first, so that a typing error costs no
    // time on the line.
    std::vector<Gate> gates;
    for (const std::string& gateText : options.gates) {
        if (auto gate = PrepareReadGate(runtime, gateText)) gates.push_back(std::move(*gate));
    }
    if (runtime.exitCode == kExitUsage) return;
    if (options.ex) {
        for (const Gate& gate : gates) {
            if (gate.memtype != MEMTYPE_EX) {
                std::fprintf(stderr,
                             "vpihost: --ex reads EX gates only (operation 5); \"%s\" is not one\n",
                             gate.address.c_str());
                RaiseExit(runtime, kExitUsage);
                return;
            }
        }
    }
    if (gates.empty()) return;

    HideRepeatedRtsLines();
    Channel channel;
    // Notes about the line go to stderr so that CSV and JSON on stdout stay clean.
    if (!channel.Open(runtime, options.line, options.format == Format::Table ? stdout : stderr))
        return;
    ReadingPrinter printer(options.format);
    for (Gate& gate : gates) {
        LogTally tally;
        const Reading reading = ReadGate(runtime, channel, gate, options.ex, &tally);
        printer.Print(reading);
        if (reading.result == VpiRefused) RaiseExit(runtime, kExitRefused);
        if (reading.result == VpiFailed) RaiseExit(runtime, kExitFailed);
    }
    static_cast<void>(channel.Close());
    ReportHiddenRtsLines(runtime);
}

void AddReadCommand(CLI::App& app, Runtime& runtime) {
    auto options = std::make_shared<ReadOptions>();
    auto* command = app.add_subcommand(
        "read", "Read gates once through the driver (operation 6; --ex: operation 5)");
    AddLineOptions(*command, options->line, true);
    command
        ->add_option("GATE", options->gates,
                     "gate address, optionally with :COUNT (default: the family's count; EX "
                     "gates need one)")
        ->required();
    command->add_flag("--ex", options->ex, "read EX gates with one exchange (operation 5)");
    AddFormatOptions(*command, options->format);
    command->callback([&runtime, options] { RunRead(runtime, *options); });
}

}  // namespace

const bool kRegistered = RegisterCommand(40, AddReadCommand);

}  // namespace host
