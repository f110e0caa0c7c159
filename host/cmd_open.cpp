// `vpihost open PORT`: opens a channel on a port through the driver (operation 1), says how it
// went, and closes it again (operation 11). The first thing to run on a new adapter.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "command_setup.h"
#include "commands.h"
#include "steps.h"

namespace host {

namespace {

void PrintLog(Runtime& runtime) {
    for (const LogLine& line : runtime.driver.TakeLog()) {
        std::printf("driver log        [%d] %s\n", line.severity, line.text.c_str());
    }
}

void RunOpen(Runtime& runtime, const LineOptions& options) {
    static_cast<void>(runtime.driver.TakeLog());
    Channel channel;
    if (const ExitCode opened = OpenChannel(runtime, channel, options, stdout); opened != kExitOk) {
        runtime.exit.Raise(opened);
        if (opened == kExitFailed) PrintLog(runtime);
        return;
    }
    std::printf("result            %s opened; read time-out %lld ms\n", channel.PortName().c_str(),
                static_cast<long long>(channel.TimeoutMs()));
    PrintLog(runtime);
    const ExitCode closed = CloseChannel(channel);
    runtime.exit.Raise(closed);
    if (closed == kExitOk) std::printf("close             %s closed\n", channel.PortName().c_str());
    PrintLog(runtime);
}

}  // namespace

void AddOpenCommand(CLI::App& app, Runtime& runtime) {
    auto [command, options] = AddCommand<LineOptions>(
        app, runtime, "open", "Open a port through the driver (operation 1), report, close it",
        RunOpen);
    command.add_option("PORT", options.port, PortNameHelp())->required();
    AddLineOptions(command, options, false);
}

}  // namespace host
