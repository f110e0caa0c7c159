// vpihost: loads the driver module the way a supervisory host does and drives it from the
// command line: information, port checks, gate lists, reads, writes and polling.
#include <CLI/CLI.hpp>

#include "app/build_version.h"
#include "app/command_help.h"
#include "app/commands.h"
#include "core/runtime.h"
#include "manual/manual.h"

namespace {

// What the manual page says beyond --help.
const host::manual::ManualFacts kManual{
    "vpihost",
    "",
    "vpihost loads the SATEC meter driver module (libsatec_vpi.so, satec_vpi.dll) exactly as a "
    "supervisory host does and calls its one export, VpiMain, from the command line: the "
    "driver's information, a port opened and closed, gate addresses parsed and checked, gates "
    "read and written, polled, and a whole site polled as a service (serve). Three line tools, "
    "scan, sniff and ports, work on the serial line directly, without the driver, for "
    "commissioning.\n"
    "\n"
    "The program's options are taken after the command too. `vpihost help COMMAND` describes a "
    "command and its output.",
    {
        {"Exit status",
         " 0    every gate done\n"
         " 1    something was refused by the driver\n"
         " 2    something failed: the port, the meter, or loading the driver\n"
         " 64   the command line was wrong\n"
         " 130  stopped by Ctrl-C (a scan) or by a second stop signal (serve)\n"
         "\n"
         "Of several outcomes the worst is the exit status."},
        {"Files",
         " /etc/satec-vpi/site.toml\n"
         "        the site file of the service satec-vpi-serve (vpihost serve)\n"
         " ../lib/satec-vpi/libsatec_vpi.so\n"
         "        where vpihost finds the module when it is not beside it\n"
         " /usr/share/doc/satec-vpi/serve.md\n"
         "        the site file's keys, the metrics, the page, the service"},
        {"See also", "metersim(1), systemctl(1), journalctl(1)"},
    }};

}  // namespace

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
    host::manual::ManualFacts manual = kManual;
    // The release alone: the page does not change with every commit.
    const std::string version = host::app::BuildVersionText();
    manual.version = "vpihost " + version.substr(0, version.find(" ("));
    host::manual::AddManualFlags(app, manual);

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
