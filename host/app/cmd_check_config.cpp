// `vpihost check-config [FILE] [--web-config WEBFILE]`: reads a site file and prepares every gate
// through the driver as poll and serve would, without opening a port; names every error with its
// file and line. With --web-config it checks serve's web configuration as serve reads it too.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "app/command_setup.h"
#include "app/commands.h"
#include "core/driver_steps.h"
#include "outputs/modbus_map.h"
#include "site/site_loading.h"
#include "site/web_config.h"

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

struct CheckOptions {
    std::string site;
    std::string webConfig;
};

// Checks the web configuration as serve loads it: its notes and error on stderr.
void CheckWebConfig(core::Runtime& runtime, const std::string& path) {
    site::WebConfig config;
    std::string error;
    const bool loaded = site::LoadWebConfig(path, &config, &error);
    for (const std::string& note : config.notes) std::fprintf(stderr, "note: %s\n", note.c_str());
    if (!loaded) {
        std::fprintf(stderr, "vpihost: %s\nvpihost: serve would not start with it\n",
                     error.c_str());
        runtime.exit.Raise(core::kExitRefused);
        return;
    }
    std::printf("%s: %s, %zu user(s)%s: ok\n", path.c_str(),
                config.tls ? ("TLS with " + config.tls->certFile).c_str() : "plain HTTP",
                config.users.size(), config.users.empty() ? " (no password asked)" : "");
}

void RunSiteCheck(core::Runtime& runtime, const std::string& path) {
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
    if (const site::MqttSettings& mqtt = site.mqtt; mqtt.enabled) {
        std::printf(
            "%s: MQTT to %s:%d%s, topics under %s, %s\n", path.c_str(), mqtt.host.c_str(),
            mqtt.port, mqtt.Tls() ? " over TLS" : "", mqtt.topicPrefix.c_str(),
            mqtt.discovery ? ("discovery under " + mqtt.discoveryPrefix).c_str() : "no discovery");
    }
}

void RunCheckConfig(core::Runtime& runtime, const CheckOptions& options) {
    if (options.site.empty() && options.webConfig.empty()) {
        std::fprintf(stderr,
                     "vpihost: check-config needs a site file, --web-config FILE or both\n");
        runtime.exit.Raise(core::kExitUsage);
        return;
    }
    if (!options.webConfig.empty()) CheckWebConfig(runtime, options.webConfig);
    if (!options.site.empty()) RunSiteCheck(runtime, options.site);
}

}  // namespace

void AddCheckConfigCommand(CLI::App& app, core::Runtime& runtime) {
    auto [command, options] = AddCommand<CheckOptions>(
        app, runtime, "check-config",
        "Check a site file: every line, meter and gate, through the driver; and serve's web "
        "configuration",
        RunCheckConfig);
    command.add_option("FILE", options.site, "the site file (TOML)");
    command.add_option("--web-config", options.webConfig,
                       "serve's web configuration (YAML: TLS and users) to check as well");
}

}  // namespace host::app
