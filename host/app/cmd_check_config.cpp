// `vpihost check-config FILE`: reads a site file and prepares every gate through the driver as
// poll and serve would, without opening a port; names every error with its file and line.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "app/command_setup.h"
#include "app/commands.h"
#include "core/driver_steps.h"
#include "outputs/modbus_map.h"
#include "site/site_loading.h"

namespace host::app {

namespace {

struct SiteCounts {
    int meters = 0;
    int gates = 0;
    int values = 0;
    int named = 0;
};

SiteCounts Count(const site::PreparedSite& site) {
    SiteCounts counts;
    for (const site::SiteLine& line : site.lines) {
        for (const site::SiteMeter& meter : line.meters) {
            ++counts.meters;
            for (const site::SiteGate& gate : meter.gates) {
                ++counts.gates;
                counts.values += static_cast<int>(gate.labels.size());
                for (const site::ValueLabel& label : gate.labels) {
                    if (!label.name.empty() || !label.unit.empty()) ++counts.named;
                }
            }
        }
    }
    return counts;
}

void RunCheckConfig(core::Runtime& runtime, const std::string& path) {
    site::PreparedSite site;
    if (!runtime.exit.Passed(site::LoadSite(runtime, path, &site))) {
        std::fprintf(stderr, "vpihost: %s has errors; nothing of it would be polled\n",
                     path.c_str());
        return;
    }
    std::size_t units = 0;
    if (site.modbusTcp.enabled) {
        std::vector<std::string> problems;
        const outputs::ModbusMap map = outputs::BuildModbusMap(site, &problems);
        for (const std::string& problem : problems)
            std::fprintf(stderr, "%s: %s\n", path.c_str(), problem.c_str());
        if (!problems.empty()) {
            runtime.exit.Raise(core::kExitRefused);
            return;
        }
        units = map.units.size();
    }
    const SiteCounts counts = Count(site);
    std::printf("%s: %zu line(s), %d meter(s), %d gate(s), %d value(s), %d of them named: ok\n",
                path.c_str(), site.lines.size(), counts.meters, counts.gates, counts.values,
                counts.named);
    if (site.modbusTcp.enabled) {
        std::printf(
            "Modbus TCP on %s:%d: %zu unit(s); `vpihost modbus-map --config %s` shows "
            "the registers\n",
            site.modbusTcp.host.c_str(), site.modbusTcp.port, units, path.c_str());
    }
}

}  // namespace

void AddCheckConfigCommand(CLI::App& app, core::Runtime& runtime) {
    auto [command, path] = AddCommand<std::string>(
        app, runtime, "check-config",
        "Check a site file: every line, meter and gate, through the driver", RunCheckConfig);
    command.add_option("FILE", path, "the site file (TOML)")->required();
}

}  // namespace host::app
