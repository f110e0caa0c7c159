// `vpihost info`: what the driver says about itself (operation 14), banner included.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>

#include "command_setup.h"
#include "commands.h"
#include "cp437.h"
#include "line_options.h"
#include "steps.h"

namespace host {

namespace {

void RunInfo(Runtime& runtime, bool bannerOnly) {
    if (!runtime.exit.Passed(LoadDriver(runtime))) return;
    DriverInfo info{};
    const std::int32_t result = runtime.driver.Call(VpiOperation::Info, nullptr, &info);
    if (result != VpiDone) {
        std::fprintf(stderr, "vpihost: the driver refused the information request (%d)\n", result);
        runtime.exit.Raise(ExitFor(result));
        return;
    }
    const std::string banner = Cp437ToUtf8(info.banner != nullptr ? info.banner : "");
    if (bannerOnly) {
        std::fputs(banner.c_str(), stdout);
        return;
    }
    std::printf("driver code       %d\n", info.driverCode);
    std::printf("short name        %s\n", info.shortName != nullptr ? info.shortName : "(none)");
    std::printf("state size        %d bytes per channel\n", info.stateSize);
    std::printf("driver parameter  %d\n", info.driverParameter);
    std::printf("default line      %s\n", LineText(info.defaultLine).c_str());
    std::printf("driver option     %d\n", info.driverOption);
    std::printf("banner            %zu bytes (code page 437):\n%s", std::strlen(info.banner),
                banner.c_str());
}

}  // namespace

void AddInfoCommand(CLI::App& app, Runtime& runtime) {
    auto [command, bannerOnly] = AddCommand<bool>(
        app, runtime, "info", "Show the driver's information and banner (operation 14)", RunInfo);
    command.add_flag("--banner", bannerOnly, "print only the banner");
}

}  // namespace host
