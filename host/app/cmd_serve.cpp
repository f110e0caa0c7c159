// `vpihost serve --config FILE [--listen 127.0.0.1:9300]`: polls every line of a site and
// serves what it reads: the page, /metrics for Prometheus, the JSON API and /healthz. Ends
// cleanly on SIGINT or SIGTERM: the HTTP side first, then every line, its channel closed.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "app/command_setup.h"
#include "app/commands.h"
#include "core/driver_steps.h"
#include "core/interrupt.h"
#include "site/http_server.h"
#include "site/site_loading.h"
#include "site/site_poller.h"

namespace host::app {

namespace {

struct ServeOptions {
    std::string config;
    std::string listen = "127.0.0.1:9300";
};

void Serve(core::Runtime& runtime, const site::PreparedSite& site,
           const site::ListenAddress& address) {
    const core::InterruptWatch watch(true);
    site::SitePoller poller(runtime.driver, site);
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
    poller.Start();
    server.Start();
    // The first line on stdout says where it serves, for people and for scripts.
    std::printf("vpihost: serving %s on http://%s:%d/\n", site.file.c_str(),
                address.host.find(':') != std::string::npos ? ("[" + address.host + "]").c_str()
                                                            : address.host.c_str(),
                port);
    std::fflush(stdout);
    while (!watch.Interrupted()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.Stop();
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
