// `vpihost open PORT`: opens a channel on a port through the driver (operation 1), says how it
// went, and closes it again (operation 11). The first thing to run on a new adapter.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "app/command_setup.h"
#include "app/commands.h"
#include "core/driver_steps.h"

namespace host::app {

namespace {

void PrintLog(core::Runtime& runtime) {
    for (const core::LogLine& line : runtime.driver.TakeLog()) {
        std::printf("driver log        [%d] %s\n", line.severity, line.text.c_str());
    }
}

void RunOpen(core::Runtime& runtime, const core::ChannelOptions& options) {
    static_cast<void>(runtime.driver.TakeLog());
    core::Channel channel;
    if (const core::ExitCode opened = core::OpenChannel(runtime, channel, options, stdout);
        opened != core::kExitOk) {
        runtime.exit.Raise(opened);
        if (opened == core::kExitFailed) PrintLog(runtime);
        return;
    }
    std::printf("result            %s opened; read time-out %lld ms\n", channel.PortName().c_str(),
                static_cast<long long>(channel.TimeoutMs()));
    PrintLog(runtime);
    const core::ExitCode closed = core::CloseChannel(channel);
    runtime.exit.Raise(closed);
    if (closed == core::kExitOk)
        std::printf("close             %s closed\n", channel.PortName().c_str());
    PrintLog(runtime);
}

}  // namespace

void AddOpenCommand(CLI::App& app, core::Runtime& runtime) {
    auto [command, options] = AddCommand<core::ChannelOptions>(
        app, runtime, "open", "Open a port through the driver (operation 1), report, close it",
        RunOpen);
    command.add_option("PORT", options.port, core::PortNameHelp())->required();
    core::AddChannelOptions(command, options, false);
}

}  // namespace host::app
