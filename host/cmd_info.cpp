// `vpihost info`: what the driver says about itself (operation 14), banner included.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cp437.h"
#include "host.h"

namespace host {

namespace {

const char* ParityName(unsigned code) {
    static const char* const kNames[] = {"none", "odd", "even", "mark", "space"};
    return code < 5 ? kNames[code] : "?";
}

const char* StopBitsName(unsigned code) {
    static const char* const kNames[] = {"1", "1.5", "2"};
    return code < 3 ? kNames[code] : "?";
}

void RunInfo(Runtime& runtime, bool bannerOnly) {
    if (!runtime.LoadDriver()) return;
    DriverInfo info{};
    const std::int32_t result = runtime.driver.Call(VpiOperation::Info, nullptr, &info);
    if (result != VpiDone) {
        std::fprintf(stderr, "vpihost: the driver refused the information request (%d)\n", result);
        RaiseExit(runtime, result == VpiRefused ? kExitRefused : kExitFailed);
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
    std::printf("default line      %u baud, %u data bits, parity %s, %s stop bit(s)\n",
                info.defaultLine.baudRate, info.defaultLine.dataBits & 0xFFu,
                ParityName(info.defaultLine.parity & 0xFFu),
                StopBitsName(info.defaultLine.stopBits & 0xFFu));
    std::printf("driver option     %d\n", info.driverOption);
    std::printf("banner            %zu bytes (code page 437):\n%s", std::strlen(info.banner),
                banner.c_str());
}

}  // namespace

void AddInfoCommand(CLI::App& app, Runtime& runtime) {
    auto* command =
        app.add_subcommand("info", "Show the driver's information and banner (operation 14)");
    auto bannerOnly = std::make_shared<bool>(false);
    command->add_flag("--banner", *bannerOnly, "print only the banner");
    command->callback([&runtime, bannerOnly] { RunInfo(runtime, *bannerOnly); });
}

const bool kRegistered = RegisterCommand(10, AddInfoCommand);

}  // namespace host
