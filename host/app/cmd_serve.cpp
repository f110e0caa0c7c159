// `vpihost serve --config FILE [--listen 127.0.0.1:9300]`: polls every line of a site and
// serves what it reads: the page, /metrics for Prometheus, the JSON API and /healthz. SIGHUP
// reloads the site file; SIGINT or SIGTERM ends it cleanly: the HTTP side first, then every
// line after its read under way, its channel closed; a second one ends it at once.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/command_setup.h"
#include "app/commands.h"
#include "core/driver_steps.h"
#include "outputs/modbus_server.h"
#include "site/http_server.h"
#include "site/serve_signals.h"
#include "site/site_loading.h"
#include "site/site_poller.h"

namespace host::app {

namespace {

// The exit status when a second signal ends serve without waiting for its lines: that of a
// process ended by Ctrl-C.
constexpr int kExitForced = 130;

struct ServeOptions {
    std::string config;
    std::string listen = "127.0.0.1:9300";
};

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
void Reload(core::Runtime& runtime, site::SitePoller& poller, outputs::ModbusServer* modbus,
            const std::string& path) {
    core::DriverLog& log = runtime.driver.Log();
    log.Say("vpihost:", "SIGHUP: reloading " + path);
    site::PreparedSite next;
    if (site::LoadSite(runtime, path, &next) != core::kExitOk) {
        poller.ReloadRefused();
        log.Say("vpihost:", "reload refused: " + path +
                                " has errors (above); the running configuration goes on");
        return;
    }
    const site::ReloadReport report = poller.Reload(next);
    if (modbus != nullptr) ReloadModbus(*modbus, next, log);
    std::string text =
        fmt::format("reloaded {}: {} line(s) kept polling", path, report.kept.size());
    const std::pair<const char*, const std::vector<std::string>*> parts[] = {
        {"restarted", &report.restarted}, {"added", &report.added}, {"removed", &report.removed}};
    for (const auto& [what, names] : parts) {
        if (!names->empty()) text += fmt::format(", {} {}", what, Names(*names));
    }
    log.Say("vpihost:", text);
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
           const site::ListenAddress& address) {
    site::ServeSignals signals;
    core::DriverLog& log = runtime.driver.Log();
    site::SitePoller poller(runtime.driver, site, {},
                            [&log](const std::string& line, const std::string& text) {
                                log.Say("line " + line + ":", text);
                            });
    site::HttpServer server(poller);
    std::string error;
    const int port = server.Bind(address, &error);
    if (port < 0) {
        std::fprintf(stderr, "vpihost: cannot listen on %s:%d: %s\n", address.host.c_str(),
                     address.port, error.c_str());
        runtime.exit.Raise(core::kExitFailed);
        return;
    }
    if (!site::IsLoopback(address.host)) {
        std::fprintf(stderr, "note: listening on %s, which other machines may reach\n",
                     address.host.c_str());
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
    server.Start();
    if (modbus) modbus->Start();
    // The first line on stdout says where it serves, for people and for scripts.
    std::printf("vpihost: serving %s on http://%s:%d/\n", site.file.c_str(),
                address.host.find(':') != std::string::npos ? ("[" + address.host + "]").c_str()
                                                            : address.host.c_str(),
                port);
    if (modbus)
        std::printf("vpihost: Modbus TCP on %s:%d\n", site.modbusTcp.host.c_str(), modbusPort);
    std::fflush(stdout);
    while (signals.Stops() == 0) {
        if (signals.TakeHangup()) Reload(runtime, poller, modbus.get(), site.file);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::printf("vpihost: stopping\n");
    std::fflush(stdout);
    server.Stop();
    if (modbus) modbus->Stop();
    poller.RequestStop();
    WaitForLines(poller, signals);
    poller.Stop();
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
    site::PreparedSite site;
    if (!runtime.exit.Passed(site::LoadSite(runtime, options.config, &site))) return;
    runtime.driver.Log().ShowRts(core::RtsLines::FirstOfEach);
    Serve(runtime, site, address);
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
}

}  // namespace host::app
