// `vpihost info`: what the driver says about itself (operation 14), banner included.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>

#include "app/command_setup.h"
#include "app/commands.h"
#include "core/channel_options.h"
#include "core/cp437.h"
#include "core/driver_steps.h"
#include "core/gate_problems.h"

namespace host::app {

namespace {

void RunInfo(core::Runtime& runtime, bool bannerOnly) {
    if (!runtime.exit.Passed(core::LoadDriver(runtime))) return;
    DriverInfo info{};
    const std::int32_t result = runtime.driver.Call(VpiOperation::Info, nullptr, &info);
    if (result != VpiDone) {
        std::fprintf(stderr, "vpihost: the driver refused the information request (%d)\n", result);
        runtime.exit.Raise(core::ExitFor(result));
        return;
    }
    const std::string banner = core::Cp437ToUtf8(info.banner != nullptr ? info.banner : "");
    if (bannerOnly) {
        std::fputs(banner.c_str(), stdout);
        return;
    }
    std::printf("driver code       %d\n", info.driverCode);
    std::printf("short name        %s\n", info.shortName != nullptr ? info.shortName : "(none)");
    std::printf("state size        %d bytes per channel\n", info.stateSize);
    std::printf("driver parameter  %d\n", info.driverParameter);
    std::printf("default line      %s\n", core::LineText(info.defaultLine).c_str());
    std::printf("driver option     %d\n", info.driverOption);
    std::printf("banner            %zu bytes (code page 437):\n%s", std::strlen(info.banner),
                banner.c_str());
}

}  // namespace

void AddInfoCommand(CLI::App& app, core::Runtime& runtime) {
    auto [command, bannerOnly] = AddCommand<bool>(
        app, runtime, "info", "Show the driver's information and banner (operation 14)", RunInfo);
    command.add_flag("--banner", bannerOnly, "print only the banner");
}

}  // namespace host::app
