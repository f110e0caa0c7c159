// vpihost: loads the driver module the way a supervisory host does and drives it from the
// command line: information, port checks, gate lists, reads, writes and polling.
#include <CLI/CLI.hpp>

#include "app/build_version.h"
#include "app/command_help.h"
#include "app/commands.h"
#include "core/runtime.h"

int main(int argc, char** argv) {
    host::core::Runtime runtime;
    CLI::App app{"vpihost - loads the meter driver module and calls it as a host does"};
    app.require_subcommand(1);
    // The program's own options are taken after the command too (`vpihost read --quiet ...`):
    // every command, added below, inherits this.
    app.fallthrough();
    app.set_version_flag("--version", std::string("vpihost ") + host::app::BuildVersionText());
    app.add_option("--module", runtime.modulePath,
                   "driver module to load (default: beside vpihost, else ../lib/satec-vpi/)");
    app.add_flag("--quiet", runtime.quietLog, "keep the driver's log lines off stderr");
    app.parse_complete_callback([&runtime] { runtime.driver.Log().Install(runtime.quietLog); });

    host::app::AddCommands(app, runtime);

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        if (!host::app::SayMissingCommand(app)) app.exit(e);
        return host::core::kExitUsage;
    }
    // Says how often the last line repeated, if it did.
    static_cast<void>(runtime.driver.TakeLog());
    return runtime.exit.Code();
}
