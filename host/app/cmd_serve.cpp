// `vpihost serve --config FILE [--listen 127.0.0.1:9300] [--web-config WEBFILE]`: polls every
// line of a site and serves what it reads: the page, /metrics for Prometheus, the JSON API and
// /healthz, over TLS and behind passwords when the web configuration asks for them. SIGHUP
// reloads the site file; SIGINT or SIGTERM ends it cleanly: the HTTP side first, then every
// line after its read under way, its channel closed; a second one ends it at once.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "app/command_setup.h"
#include "app/commands.h"
#include "core/driver_steps.h"
#include "outputs/modbus_server.h"
#include "outputs/mqtt_output.h"
#include "platform/service_notify.h"
#include "site/http_server.h"
#include "site/password_check.h"
#include "site/serve_signals.h"
#include "site/service_watch.h"
#include "site/site_loading.h"
#include "site/site_poller.h"
#include "site/web_config.h"

namespace host::app {

namespace {

// Readings the MQTT output may hold back while it is busy or the broker slow: some seconds of
// a busy site's reads.
constexpr std::size_t kMqttQueue = 1024;

// The exit status when a second signal ends serve without waiting for its lines: that of a
// process ended by Ctrl-C.
constexpr int kExitForced = 130;

struct ServeOptions {
    std::string config;
    std::string listen = "127.0.0.1:9300";
    std::string webConfig;
};

// Loads the web configuration, its notes on stderr; false, having said why serve does not start.
bool LoadWeb(const std::string& path, site::WebConfig* config) {
    std::string error;
    const bool loaded = site::LoadWebConfig(path, config, &error);
    for (const std::string& note : config->notes) std::fprintf(stderr, "note: %s\n", note.c_str());
    if (!loaded) std::fprintf(stderr, "vpihost: %s\nvpihost: not serving\n", error.c_str());
    return loaded;
}

// Says what an address other machines reach leaves open: everything without passwords, the
// passwords themselves without TLS.
void WarnOfNetwork(const std::string& host, const site::WebConfig& web) {
    if (site::IsLoopback(host)) return;
    if (web.users.empty()) {
        std::fprintf(stderr,
                     "warning: listening on %s with no password: anyone on the network can read "
                     "the meters (basic_auth_users in a --web-config file asks for one)\n",
                     host.c_str());
    } else if (!web.tls) {
        std::fprintf(stderr,
                     "warning: listening on %s in plain HTTP: the passwords cross the network "
                     "readable (tls_server_config in the --web-config file encrypts them)\n",
                     host.c_str());
    }
}

std::string Names(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

// The Modbus TCP face of `site`, when it has one: bound, not started. Null when the site has
// none, or when it cannot listen (said; `failed` set).
std::unique_ptr<outputs::ModbusServer> ModbusFace(site::SitePoller& poller,
                                                  const site::PreparedSite& site, int* port,
                                                  bool* failed) {
    if (!site.modbusTcp.enabled) return nullptr;
    std::vector<std::string> problems;
    outputs::ModbusMap map = outputs::BuildModbusMap(site, &problems);
    for (const std::string& problem : problems)
        std::fprintf(stderr, "%s: %s\n", site.file.c_str(), problem.c_str());
    auto server = std::make_unique<outputs::ModbusServer>(poller, site.modbusTcp, std::move(map));
    std::string error;
    *port = problems.empty() ? server->Bind(&error) : -1;
    if (*port < 0) {
        if (problems.empty())
            std::fprintf(stderr, "vpihost: Modbus TCP cannot listen on %s:%d: %s\n",
                         site.modbusTcp.host.c_str(), site.modbusTcp.port, error.c_str());
        *failed = true;
        return nullptr;
    }
    if (!site::IsLoopback(site.modbusTcp.host)) {
        std::fprintf(stderr, "note: Modbus TCP on %s, which other machines may reach\n",
                     site.modbusTcp.host.c_str());
    }
    return server;
}

// A reloaded file's map for the running face; its socket stays as it was started.
void ReloadModbus(outputs::ModbusServer& modbus, const site::PreparedSite& site,
                  core::DriverLog& log) {
    std::vector<std::string> problems;
    outputs::ModbusMap map = outputs::BuildModbusMap(site, &problems);
    if (!site.modbusTcp.enabled || !problems.empty()) {
        log.Say("vpihost:",
                "Modbus TCP keeps its map: the reloaded file gives it none; restart "
                "serve to change the face");
        return;
    }
    modbus.SetMap(std::move(map));
}

// Loads the site file again and puts it in place of the running one. A file with errors is
// refused with the messages check-config gives, and the running site goes on unchanged.
void Reload(core::Runtime& runtime, site::SitePoller& poller, const std::string& path,
            site::ServiceWatch& watch, const site::MqttSettings& mqttRunning,
            outputs::MqttOutput* mqtt, outputs::ModbusServer* modbus) {
    core::DriverLog& log = runtime.driver.Log();
    watch.Reloading();
    log.Say("vpihost:", "SIGHUP: reloading " + path);
    site::PreparedSite next;
    if (site::LoadSite(runtime, path, &next) != core::kExitOk) {
        poller.ReloadRefused();
        log.Say("vpihost:", "reload refused: " + path +
                                " has errors (above); the running configuration goes on");
        watch.Reloaded(poller.Status());
        return;
    }
    const site::ReloadReport report = poller.Reload(next);
    if (mqtt != nullptr) mqtt->Reload(next);
    // The broker connection is made once: a changed [mqtt] waits for the next start.
    if (!(next.mqtt == mqttRunning))
        log.Say("vpihost:", mqtt != nullptr
                                ? "[mqtt] has changed: the broker settings take effect when serve "
                                  "starts again; the meters' topics follow the file now"
                                : "[mqtt] has changed: it takes effect when serve starts again");
    if (modbus != nullptr) ReloadModbus(*modbus, next, log);
    std::string text =
        fmt::format("reloaded {}: {} line(s) kept polling", path, report.kept.size());
    const std::pair<const char*, const std::vector<std::string>*> parts[] = {
        {"restarted", &report.restarted}, {"added", &report.added}, {"removed", &report.removed}};
    for (const auto& [what, names] : parts) {
        if (!names->empty()) text += fmt::format(", {} {}", what, Names(*names));
    }
    log.Say("vpihost:", text);
    watch.Reloaded(poller.Status());
}

// After the first stop signal: waits for every line to end its read under way, saying each
// second which line is still waiting and for how long; a second signal ends the process at once.
void WaitForLines(const site::SitePoller& poller, const site::ServeSignals& signals) {
    auto sayAt = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
        const site::SiteStatus status = poller.Status();
        std::vector<const site::LineStatus*> waiting;
        for (const site::LineStatus& line : status.lines) {
            if (!line.ended) waiting.push_back(&line);
        }
        if (waiting.empty()) return;
        const bool forced = signals.Stops() >= 2;
        const bool say = forced || std::chrono::steady_clock::now() >= sayAt;
        for (const site::LineStatus* line :
             say ? waiting : std::vector<const site::LineStatus*>{}) {
            if (line->reading.empty()) {
                std::printf("vpihost: line %s is closing its port\n", line->name.c_str());
                continue;
            }
            std::printf(
                "vpihost: line %s %s its read of %s, %.1f s so far (its time-outs add up "
                "to %.1f s)\n",
                line->name.c_str(), forced ? "left in" : "still waiting for", line->reading.c_str(),
                static_cast<double>(site::UnixMsNow() - line->readingSinceUnixMs) / 1000,
                line->readingLimitMs / 1000);
        }
        if (forced) {
            std::printf("vpihost: second signal: ended at once\n");
            std::fflush(stdout);
            // The lines' threads are in the driver: nothing is run on the way out, and the
            // system closes the ports.
            std::_Exit(kExitForced);
        }
        if (say) {
            std::fflush(stdout);
            sayAt += std::chrono::seconds(1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void Serve(core::Runtime& runtime, const site::PreparedSite& site,
           const site::ListenAddress& address, const site::WebConfig& web) {
    site::ServeSignals signals;
    core::DriverLog& log = runtime.driver.Log();
    site::SitePoller poller(runtime.driver, site, {},
                            [&log](const std::string& line, const std::string& text) {
                                log.Say("line " + line + ":", text);
                            });
    std::unique_ptr<outputs::MqttOutput> mqtt;
    if (site.mqtt.enabled) {
        mqtt = std::make_unique<outputs::MqttOutput>(
            site, poller.Feed().Subscribe("mqtt", kMqttQueue),
            [&poller] { return poller.Status(); },
            [&log](const std::string& text) { log.Say("mqtt:", text); });
    }
    // The users' passwords, checked for the HTTP side; none asked when the file names no user.
    site::PasswordCheck passwords(web.users);
    site::HttpSecurity security{web.tls, nullptr};
    if (!web.users.empty()) {
        security.checkPassword = [&passwords](std::string_view user, std::string_view password) {
            return passwords.Check(user, password);
        };
    }
    site::HttpServer server(poller, std::move(security));
    std::string error;
    const int port = server.Bind(address, &error);
    if (port < 0) {
        std::fprintf(stderr, "vpihost: cannot listen on %s:%d: %s\n", address.host.c_str(),
                     address.port, error.c_str());
        runtime.exit.Raise(core::kExitFailed);
        return;
    }
    WarnOfNetwork(address.host, web);
    if (mqtt && !mqtt->Start(&error)) {
        std::fprintf(stderr, "vpihost: %s\n", error.c_str());
        runtime.exit.Raise(core::kExitFailed);
        return;
    }
    bool modbusFailed = false;
    int modbusPort = -1;
    std::unique_ptr<outputs::ModbusServer> modbus =
        ModbusFace(poller, site, &modbusPort, &modbusFailed);
    if (modbusFailed) {
        runtime.exit.Raise(core::kExitFailed);
        return;
    }
    poller.Start();
    if (!server.Start(&error)) {
        std::fprintf(stderr, "vpihost: cannot serve: %s\n", error.c_str());
        poller.RequestStop();
        poller.Stop();
        runtime.exit.Raise(core::kExitFailed);
        return;
    }
    if (modbus) modbus->Start();
    // Ready for the service manager once every line has tried its port; pings for its
    // watchdog while every line comes round its loop.
    site::ServiceWatch watch(platform::ServiceWatchdogUsec(), platform::NotifyService,
                             [&log](const std::string& text) { log.Say("vpihost:", text); });
    watch.Start(poller);
    // The first line on stdout says where it serves, for people and for scripts.
    std::printf("vpihost: serving %s on %s://%s:%d/\n", site.file.c_str(),
                web.tls ? "https" : "http",
                address.host.find(':') != std::string::npos ? ("[" + address.host + "]").c_str()
                                                            : address.host.c_str(),
                port);
    if (modbus)
        std::printf("vpihost: Modbus TCP on %s:%d\n", site.modbusTcp.host.c_str(), modbusPort);
    std::fflush(stdout);
    while (signals.Stops() == 0) {
        if (signals.TakeHangup())
            Reload(runtime, poller, site.file, watch, site.mqtt, mqtt.get(), modbus.get());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::printf("vpihost: stopping\n");
    std::fflush(stdout);
    watch.Stopping();
    server.Stop();
    if (mqtt) mqtt->Stop();
    if (modbus) modbus->Stop();
    poller.RequestStop();
    WaitForLines(poller, signals);
    poller.Stop();
    watch.Stop();
    std::printf("vpihost: stopped; every channel closed\n");
}

void RunServe(core::Runtime& runtime, const ServeOptions& options) {
    site::ListenAddress address;
    std::string error;
    if (!site::ParseListenAddress(options.listen, &address, &error)) {
        std::fprintf(stderr, "vpihost: %s\n", error.c_str());
        runtime.exit.Raise(core::kExitUsage);
        return;
    }
    site::WebConfig web;
    if (!options.webConfig.empty() && !LoadWeb(options.webConfig, &web)) {
        runtime.exit.Raise(core::kExitRefused);
        return;
    }
    site::PreparedSite site;
    if (!runtime.exit.Passed(site::LoadSite(runtime, options.config, &site))) return;
    runtime.driver.Log().ShowRts(core::RtsLines::FirstOfEach);
    Serve(runtime, site, address, web);
    core::ReportHiddenRtsLines(runtime);
}

}  // namespace

void AddServeCommand(CLI::App& app, core::Runtime& runtime) {
    auto [command, options] = AddCommand<ServeOptions>(
        app, runtime, "serve",
        "Poll a site file's lines and serve the readings: page, /metrics, JSON API", RunServe);
    command.add_option("--config", options.config, "the site file (TOML)")->required();
    command.add_option("--listen", options.listen, "HOST:PORT to serve on (port 0: any free)")
        ->capture_default_str();
    command.add_option("--web-config", options.webConfig,
                       "TLS and users (YAML, the format Prometheus exporters share); read once "
                       "at start");
}

}  // namespace host::app
