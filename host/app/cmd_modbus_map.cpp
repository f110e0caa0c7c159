// `vpihost modbus-map --config FILE [--csv|--markdown]`: the register map the Modbus TCP face
// serves for a site file, for the programmer of the PLC or SCADA side.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "app/command_setup.h"
#include "app/commands.h"
#include "outputs/modbus_map.h"
#include "site/site_loading.h"

namespace host::app {

namespace {

struct ModbusMapOptions {
    std::string config;
    bool csv = false;
    bool markdown = false;
};

void RunModbusMap(core::Runtime& runtime, const ModbusMapOptions& options) {
    site::PreparedSite site;
    if (!runtime.exit.Passed(site::LoadSite(runtime, options.config, &site))) {
        std::fprintf(stderr, "vpihost: %s has errors; no map\n", options.config.c_str());
        return;
    }
    if (!site.modbusTcp.enabled) {
        std::fprintf(stderr,
                     "vpihost: %s has no [modbus_tcp]: the site serves no Modbus TCP face; add "
                     "the table (its keys may all be left out) to see the map\n",
                     options.config.c_str());
        runtime.exit.Raise(core::kExitRefused);
        return;
    }
    std::vector<std::string> problems;
    const outputs::ModbusMap map = outputs::BuildModbusMap(site, &problems);
    for (const std::string& problem : problems)
        std::fprintf(stderr, "%s: %s\n", options.config.c_str(), problem.c_str());
    if (!problems.empty()) {
        runtime.exit.Raise(core::kExitRefused);
        return;
    }
    const std::string text = options.csv        ? outputs::ModbusMapCsv(map)
                             : options.markdown ? outputs::ModbusMapMarkdown(map)
                                                : outputs::ModbusMapText(map);
    std::fputs(text.c_str(), stdout);
}

}  // namespace

void AddModbusMapCommand(CLI::App& app, core::Runtime& runtime) {
    auto [command, options] = AddCommand<ModbusMapOptions>(
        app, runtime, "modbus-map",
        "Print the Modbus TCP face's register map of a site file: per unit its status block, "
        "each value as a float in two registers, each value's age",
        RunModbusMap);
    command.add_option("--config", options.config, "the site file (TOML)")->required();
    CLI::Option* csv = command.add_flag("--csv", options.csv,
                                        "CSV with a header row: unit, line, meter, address, "
                                        "count, type, access, what, key, name, unit of measure");
    command.add_flag("--markdown", options.markdown, "a Markdown table per unit")->excludes(csv);
}

}  // namespace host::app
